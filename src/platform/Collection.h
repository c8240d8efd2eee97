#pragma once
#include "platform/Exceptions.h"
#include <QObject>
#include <QString>
#include <vector>

class TCollection;

// An item of an owned collection. Creating it with a collection appends it there; destroying it
// takes it out again, so a collection never holds a dangling item.
class TCollectionItem {
public:
    explicit TCollectionItem(TCollection* collection);
    virtual ~TCollectionItem();
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;

    TCollection* Collection() const noexcept { return FCollection; }
    // The position in the collection, -1 without one.
    int Index() const noexcept;
    // Copies the settings of another item; the base knows of nothing to copy.
    virtual void Assign(const TCollectionItem& source);
    // The text that lists show for the item.
    virtual QString GetDisplayName() const;

private:
    friend class TCollection;
    TCollection* FCollection = nullptr;
};

VOCATOR_DECLARE_EXCEPTION(ECollectionError, Exception)

// The toolkit's owned collection: it frees its items, and knows the component it belongs to.
class TCollection {
public:
    explicit TCollection(QObject* owner = nullptr) noexcept : FOwner(owner) {}
    virtual ~TCollection();
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;

    QObject* Owner() const noexcept { return FOwner; }
    int Count() const noexcept { return static_cast<int>(FItems.size()); }
    // Raises ECollectionError for an index outside 0 .. Count - 1.
    TCollectionItem* GetItem(int index) const;
    // Appends a new item of the collection's class.
    TCollectionItem* AddItem() { return CreateItem(); }
    // Frees the item at index.
    void Delete(int index);
    // Frees every item, last first.
    void Clear() noexcept;
    // Replaces the items with copies of the other collection's items.
    void AssignItems(const TCollection& source);

protected:
    // Creates an item of the collection's class, which appends itself.
    virtual TCollectionItem* CreateItem() = 0;

private:
    friend class TCollectionItem;
    void Attach(TCollectionItem* item) { FItems.push_back(item); }
    void Detach(TCollectionItem* item) noexcept;

    QObject* FOwner = nullptr;
    std::vector<TCollectionItem*> FItems;
};

// A collection whose items are all of class TItem.
template <class TItem>
class TTypedCollection : public TCollection {
public:
    using TCollection::TCollection;

    TItem* Items(int index) const { return static_cast<TItem*>(GetItem(index)); }
    TItem* Add() { return static_cast<TItem*>(AddItem()); }

protected:
    TCollectionItem* CreateItem() override { return new TItem(this); }
};
