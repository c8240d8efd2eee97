#include "epsnet/kxEPSNET_taglist.h"
#include "common/kxtools.h"
#include "platform/TextFile.h"
#include <QFile>
#include <algorithm>
#include <compare>
#include <mutex>

namespace {

// A name quoted in a warning is cut here: a line of garbage can be megabytes long.
constexpr qsizetype MaxQuotedName = 256;

// The first eight UTF-16 code units of a name, the first in the highest bits, a shorter name
// filled up with zeros: a smaller prefix means a name that sorts first, an equal one says nothing.
struct TNamePrefix {
    std::uint64_t High = 0;
    std::uint64_t Low = 0;

    explicit TNamePrefix(QStringView name)
    {
        for (qsizetype i = 0; i < 8; ++i) {
            std::uint64_t& half = i < 4 ? High : Low;
            half = (half << 16) | (i < name.size() ? name[i].unicode() : 0u);
        }
    }
    auto operator<=>(const TNamePrefix&) const = default;
};

// The most tags a text can give: the shortest tag line ("A R B 0 DT") has ten characters and
// its line break.
std::size_t MostTagsIn(QStringView text)
{
    constexpr qsizetype ShortestTagLine = 11;
    return static_cast<std::size_t>(std::min(text.count(u'\n') + text.count(u'\r') + 1, text.size() / ShortestTagLine + 1));
}

bool StartsWithByteOrderMark(const QByteArray& bytes)
{
    return bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
}

} // namespace

// ---- TEpsnetTagList ----

TEpsnetTagList::TEpsnetTagList() = default;

TEpsnetTagList::~TEpsnetTagList() = default;

void TEpsnetTagList::CheckIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
}

TEPSNETTag* TEpsnetTagList::Items(int index) const
{
    CheckIndex(index);
    return FItems[static_cast<std::size_t>(index)].Tag.get();
}

void TEpsnetTagList::Add(std::unique_ptr<TEPSNETTag> tag)
{
    if (!tag)
        throw EListError(QStringLiteral("No tag to add"));
    tag->SetCodePage(FCodePage ? &*FCodePage : nullptr);
    FItems.push_back({std::move(tag), FNextOrder++});
    FNameSorted = false;
}

void TEpsnetTagList::Delete(int index)
{
    CheckIndex(index);
    FItems.erase(FItems.begin() + index);
}

void TEpsnetTagList::Clear() noexcept
{
    FItems.clear();
    FNextOrder = 0;
    FNameSorted = false;
}

void TEpsnetTagList::LoadFromFile(const QString& PubFileName)
{
    QFile file(PubFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(PubFileName, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(PubFileName, file.errorString()));
    LoadFromString(StartsWithByteOrderMark(bytes) ? DecodeTextBytes(bytes) : CodePage().Decode(bytes));
}

void TEpsnetTagList::LoadFromString(const QString& PubData)
{
    // The lines are looked at in place: a file at the download's size bound has close to a
    // million of them, and copying each into a list of its own would cost more than parsing it.
    TLoad load;
    load.Loaded.reserve(MostTagsIn(PubData));
    int lineNumber = 0;
    qsizetype start = 0;
    const QStringView text(PubData);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        LoadLine(++lineNumber, text.sliced(start, i - start), load);
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        LoadLine(++lineNumber, text.sliced(start), load);
    FinishLoad(load);
}

void TEpsnetTagList::LoadFromStringList(const QStringList& PubStrings)
{
    TLoad load;
    for (int i = 0; i < PubStrings.size(); ++i)
        LoadLine(i + 1, PubStrings[i], load);
    FinishLoad(load);
}

void TEpsnetTagList::LoadLine(int lineNumber, QStringView line, TLoad& load)
{
    const QStringView trimmed = TrimmedPubLine(line);
    if (!IsTagLine(trimmed))
        return;
    if (!load.Spare)
        load.Spare = std::make_unique<TEPSNETTag>();
    TEPSNETTag& tag = *load.Spare;
    // Past the kept warnings only the count goes on, so their texts are not built.
    const bool wantsText = load.Warned < MaxLoadWarnings;
    TPubLineFault fault;
    if (!tag.TryParseLine(trimmed, wantsText ? &fault : nullptr)) {
        Warn(lineNumber, fault.Text, load);
        return;
    }
    if (tag.Address() < 0 || std::int64_t{tag.Address()} + tag.Size() > TEPSNETRam::RamSize) {
        Warn(lineNumber,
             wantsText ? QStringLiteral("tag %1 lies outside the memory of area %2 (address %3, %4 bytes)")
                             .arg(tag.Name().left(MaxQuotedName), AreaToChar(tag.Area()))
                             .arg(tag.Address())
                             .arg(tag.Size())
                       : QString(),
             load);
        return;
    }
    tag.SetCodePage(FCodePage ? &*FCodePage : nullptr);
    const auto order = static_cast<std::int64_t>(load.Loaded.size());
    load.Loaded.push_back({std::move(load.Spare), order});
}

void TEpsnetTagList::FinishLoad(TLoad& load)
{
    FLoadWarnings = std::move(load.Warnings);
    if (load.Warned > MaxLoadWarnings)
        FLoadWarnings << QStringLiteral("%1 more PUB lines left out").arg(load.Warned - MaxLoadWarnings);
    if (load.Loaded.empty()) {
        const QString first = FLoadWarnings.isEmpty() ? QString() : QStringLiteral(": ") + FLoadWarnings.front();
        throw EEPSNETException(QStringLiteral("PUB file not loaded: no usable tag") + first);
    }
    // The room reserved for the most tags the text could give is given back when few came of it.
    if (load.Loaded.capacity() > 2 * load.Loaded.size() + 1024)
        load.Loaded.shrink_to_fit();
    FNextOrder = static_cast<std::int64_t>(load.Loaded.size());
    FItems = std::move(load.Loaded);
    SortByName();
}

void TEpsnetTagList::Warn(int lineNumber, const QString& why, TLoad& load)
{
    if (++load.Warned <= MaxLoadWarnings)
        load.Warnings << QStringLiteral("PUB line %1 left out: %2").arg(lineNumber).arg(why);
}

void TEpsnetTagList::SortByName()
{
    // The entries are sorted side by side with a view of their names, and then put back in
    // order: comparing through the entries would reach every name over two pointers, which for
    // a large file costs more than the comparisons themselves. The first code units of a name
    // decide most comparisons without reading it.
    struct TNameKey {
        TNamePrefix Prefix;
        QStringView Name;
        TEntry Entry;
    };
    std::vector<TNameKey> keys;
    keys.reserve(FItems.size());
    for (TEntry& entry : FItems) {
        const QStringView name = entry.Tag->Name();
        keys.push_back({TNamePrefix(name), name, std::move(entry)});
    }
    std::sort(keys.begin(), keys.end(), [](const TNameKey& a, const TNameKey& b) {
        if (a.Prefix != b.Prefix)
            return a.Prefix < b.Prefix;
        const int order = a.Name.compare(b.Name, Qt::CaseSensitive);
        return order != 0 ? order < 0 : a.Entry.Order < b.Entry.Order;
    });
    for (std::size_t i = 0; i < keys.size(); ++i)
        FItems[i] = std::move(keys[i].Entry);
    FNameSorted = true;
}

void TEpsnetTagList::SotrByAddr()
{
    std::sort(FItems.begin(), FItems.end(), [](const TEntry& a, const TEntry& b) {
        if (a.Tag->Area() != b.Tag->Area())
            return a.Tag->Area() < b.Tag->Area();
        if (a.Tag->Address() != b.Tag->Address())
            return a.Tag->Address() < b.Tag->Address();
        return a.Order < b.Order;
    });
    FNameSorted = false;
}

TEPSNETTag* TEpsnetTagList::GetTagByName(const QString& Name)
{
    if (FItems.empty())
        return nullptr;
    if (!FNameSorted)
        SortByName();
    const auto found = std::lower_bound(FItems.begin(), FItems.end(), Name, [](const TEntry& entry, const QString& name) {
        return QStringView(entry.Tag->Name()).compare(name, Qt::CaseSensitive) < 0;
    });
    return found != FItems.end() && found->Tag->Name() == Name ? found->Tag.get() : nullptr;
}

TEPSNETTag& TEpsnetTagList::TagByName(const QString& Name)
{
    TEPSNETTag* tag = GetTagByName(Name);
    if (!tag)
        throw EEPSNETException(QStringLiteral("Requested tag %1 doesn't exist in current tag list").arg(Name));
    return *tag;
}

bool TEpsnetTagList::GetAsBool(const QString& Name) { return TagByName(Name).GetAsBool(); }
TDateTime TEpsnetTagList::GetAsDateTime(const QString& Name) { return TagByName(Name).GetAsDateTime(); }
double TEpsnetTagList::GetAsFloat(const QString& Name) { return TagByName(Name).GetAsFloat(); }
std::int32_t TEpsnetTagList::GetAsInteger(const QString& Name) { return TagByName(Name).GetAsInteger(); }
QString TEpsnetTagList::GetAsString(const QString& Name) { return TagByName(Name).GetAsString(); }
QString TEpsnetTagList::GetDescription(const QString& Name) { return TagByName(Name).Description(); }

void TEpsnetTagList::SetAsBool(const QString& Name, bool Value) { TagByName(Name).SetAsBool(Value); }
void TEpsnetTagList::SetAsDateTime(const QString& Name, TDateTime Value) { TagByName(Name).SetAsDateTime(Value); }
void TEpsnetTagList::SetAsFloat(const QString& Name, double Value) { TagByName(Name).SetAsFloat(Value); }
void TEpsnetTagList::SetAsInteger(const QString& Name, std::int32_t Value) { TagByName(Name).SetAsInteger(Value); }
void TEpsnetTagList::SetAsString(const QString& Name, const QString& Value) { TagByName(Name).SetAsString(Value); }
void TEpsnetTagList::SetDescription(const QString& Name, const QString& Value) { TagByName(Name).SetDescription(Value); }

bool TEpsnetTagList::SetCodePage(const QString& name)
{
    const QString wanted = name.trimmed();
    const bool known = wanted.isEmpty() || TCodePage::IsKnown(wanted);
    if (wanted.isEmpty() || !known)
        FCodePage.reset();
    else
        FCodePage.emplace(wanted);
    for (const TEntry& entry : FItems)
        entry.Tag->SetCodePage(FCodePage ? &*FCodePage : nullptr);
    return known;
}

const TCodePage& TEpsnetTagList::CodePage() const noexcept { return FCodePage ? *FCodePage : AnsiCodePage(); }

// ---- TEpsnetThreadSafeTagList ----

TEpsnetThreadSafeTagList::TEpsnetThreadSafeTagList()
    : SO(std::make_unique<TSpinLock>(0, 0)),
      FTagList(std::make_unique<TEpsnetTagList>()),
      X(std::make_unique<TEPSNETRam>()),
      Y(std::make_unique<TEPSNETRam>()),
      R(std::make_unique<TEPSNETRam>()),
      S(std::make_unique<TEPSNETRam>())
{
}

TEpsnetThreadSafeTagList::~TEpsnetThreadSafeTagList() = default;

TEpsnetTagList& TEpsnetThreadSafeTagList::LockList()
{
    SO->Acquire();
    return *FTagList;
}

void TEpsnetThreadSafeTagList::UnLock() { SO->Release(); }

bool TEpsnetThreadSafeTagList::GetAsBool(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetAsBool(Name);
}

TDateTime TEpsnetThreadSafeTagList::GetAsDateTime(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetAsDateTime(Name);
}

double TEpsnetThreadSafeTagList::GetAsFloat(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetAsFloat(Name);
}

std::int32_t TEpsnetThreadSafeTagList::GetAsInteger(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetAsInteger(Name);
}

QString TEpsnetThreadSafeTagList::GetAsString(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetAsString(Name);
}

QString TEpsnetThreadSafeTagList::GetDescription(const QString& Name)
{
    std::lock_guard guard(*SO);
    return FTagList->GetDescription(Name);
}

void TEpsnetThreadSafeTagList::SetAsBool(const QString& Name, bool Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetAsBool(Name, Value);
}

void TEpsnetThreadSafeTagList::SetAsDateTime(const QString& Name, TDateTime Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetAsDateTime(Name, Value);
}

void TEpsnetThreadSafeTagList::SetAsFloat(const QString& Name, double Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetAsFloat(Name, Value);
}

void TEpsnetThreadSafeTagList::SetAsInteger(const QString& Name, std::int32_t Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetAsInteger(Name, Value);
}

void TEpsnetThreadSafeTagList::SetAsString(const QString& Name, const QString& Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetAsString(Name, Value);
}

void TEpsnetThreadSafeTagList::SetDescription(const QString& Name, const QString& Value)
{
    std::lock_guard guard(*SO);
    FTagList->SetDescription(Name, Value);
}

void TEpsnetThreadSafeTagList::LoadFromString(const QString& PubData)
{
    std::lock_guard guard(*SO);
    LoadAndAssign([&] { FTagList->LoadFromString(PubData); });
}

void TEpsnetThreadSafeTagList::LoadFromFile(const QString& PubFileName)
{
    std::lock_guard guard(*SO);
    LoadAndAssign([&] { FTagList->LoadFromFile(PubFileName); });
}

void TEpsnetThreadSafeTagList::LoadAndAssign(const std::function<void()>& load)
{
    // A text that cannot be loaded leaves the tags as they were, pointed into their images: the
    // reads planned from the last good file go on.
    load();
    AssignTagPtrs();
}

QStringList TEpsnetThreadSafeTagList::LoadWarnings()
{
    std::lock_guard guard(*SO);
    return FTagList->LoadWarnings();
}

void TEpsnetThreadSafeTagList::AssignTagPtrs()
{
    std::lock_guard guard(*SO);
    for (int i = 0; i < FTagList->Count(); ++i) {
        TEPSNETTag* tag = FTagList->Items(i);
        tag->DataPtr = GetRamArea(tag->Area());
    }
}

TEPSNETRam* TEpsnetThreadSafeTagList::GetRamArea(TEPSNETArea Area) const noexcept
{
    switch (Area) {
    case _epsnet_x:
        return X.get();
    case _epsnet_y:
        return Y.get();
    case _epsnet_s:
        return S.get();
    case _epsnet_r:
        return R.get();
    }
    return nullptr;
}

void TEpsnetThreadSafeTagList::UpdateFromPacket(const TEPSNETPacket& APacket)
{
    TEPSNETRam* ram = GetRamArea(APacket.Area);
    if (!ram)
        return;
    std::lock_guard guard(*SO);
    ram->UpdateFromPacket(APacket);
}

bool TEpsnetThreadSafeTagList::SetCodePage(const QString& name)
{
    std::lock_guard guard(*SO);
    return FTagList->SetCodePage(name);
}

TCodePage TEpsnetThreadSafeTagList::CodePage()
{
    std::lock_guard guard(*SO);
    return FTagList->CodePage();
}
