#include "platform/Collection.h"
#include <algorithm>

TCollectionItem::TCollectionItem(TCollection* collection) : FCollection(collection)
{
    if (FCollection)
        FCollection->Attach(this);
}

TCollectionItem::~TCollectionItem()
{
    if (FCollection)
        FCollection->Detach(this);
}

int TCollectionItem::Index() const noexcept
{
    if (!FCollection)
        return -1;
    const auto& items = FCollection->FItems;
    const auto it = std::find(items.begin(), items.end(), this);
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::Assign(const TCollectionItem&) {}

QString TCollectionItem::GetDisplayName() const { return QString(); }

TCollection::~TCollection() { Clear(); }

TCollectionItem* TCollection::GetItem(int index) const
{
    if (index < 0 || index >= Count())
        throw ECollectionError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FItems[static_cast<size_t>(index)];
}

void TCollection::Delete(int index) { delete GetItem(index); }

void TCollection::Clear() noexcept
{
    while (!FItems.empty())
        delete FItems.back();
}

void TCollection::AssignItems(const TCollection& source)
{
    if (&source == this)
        return;
    Clear();
    for (const TCollectionItem* item : source.FItems)
        AddItem()->Assign(*item);
}

void TCollection::Detach(TCollectionItem* item) noexcept
{
    const auto it = std::find(FItems.begin(), FItems.end(), item);
    if (it != FItems.end())
        FItems.erase(it);
    item->FCollection = nullptr;
}
