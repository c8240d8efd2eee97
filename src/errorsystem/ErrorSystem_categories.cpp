#include "errorsystem/ErrorSystem_categories.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "errorsystem/ErrorSystem_texts.h"
#include "errorsystem/HTMLParser.h"
#include <algorithm>

namespace {

const QString CrLf = QStringLiteral("\r\n");

void* ToSlot(std::int32_t value) noexcept { return reinterpret_cast<void*>(static_cast<std::intptr_t>(value)); }
std::int32_t FromSlot(const void* slot) noexcept { return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(slot)); }

std::vector<TErrorCategoryList*>& Registry()
{
    static std::vector<TErrorCategoryList*> lists;
    return lists;
}

bool FWriteBySelecting = false;
TCategorySelector FSelector;

// State of one category import.
struct TCategoryImport {
    TCategoriesStructure* Self;
    TCategoriesStructure* Current = Self;
    bool Inside = false;
    int Level = 0;

    std::int32_t Apply(const QString& name, const TTag& tag)
    {
        if (name == u"ERRORSYSTEM") {
            if (Inside)
                return _coImportDoubleERRORSYSTEM;
            ReadIntegerAttribute(tag, u"VERSION", 0, false);
            Inside = true;
        } else if (name == u"/ERRORSYSTEM") {
            if (!Inside)
                return _coImportEndWithoutBegin;
            Inside = false;
        } else if (name == u"CLEARALLTEXT") {
            if (!Inside)
                return _coImportUnknownTreeCommand;
            // The categories opened so far go with the clearing: reading goes on at the top.
            Self->Clear();
            Self->Data().Clear();
            Current = Self;
            Level = 0;
        } else if (name == u"NEWCATEGORY") {
            if (!Inside)
                return _coImportUnknownTreeCommand;
            OpenCategory(tag);
        } else if (name == u"/NEWCATEGORY") {
            return CloseCategory();
        } else if (name == u"NEWDATA") {
            if (!Inside)
                return _coImportUnknownTreeCommand;
            Current->Data().Add(ReadIntegerAttribute(tag, u"VALUE", 0, false));
        }
        return 0;
    }

    // A ROOT element describes the current category itself; any other opens a sub-category.
    void OpenCategory(const TTag& tag)
    {
        const bool root = ReadBoolAttribute(tag, u"ROOT", false, false);
        if (!root) {
            Current = Current->AddSubCategory();
            ++Level;
        } else {
            RootOpen = true;
        }
        Current->SetCategoryName(ReadStringAttribute(tag, u"NAME", Current->CategoryName(), false));
        Current->SetImageIndex(ReadIntegerAttribute(tag, u"IMAGEINDEX", Current->ImageIndex(), false));
    }

    // The closing tag of a ROOT element is accepted, so that an exported tree reads back whole.
    std::int32_t CloseCategory()
    {
        if (Level == 0) {
            if (!RootOpen)
                return _coImportEndWithoutBegin;
            RootOpen = false;
            return 0;
        }
        --Level;
        Current = Current->GetOwner();
        return 0;
    }

    bool RootOpen = false;
};

} // namespace

// ---- TIntegerList ----

int TIntegerList::Add(std::int32_t value) { return TOwnList::Add(ToSlot(value)); }

std::int32_t TIntegerList::Items(int index) const { return FromSlot(TOwnList::Items(index)); }

void TIntegerList::SetItems(int index, std::int32_t value) { TOwnList::SetItems(index, ToSlot(value)); }

int TIntegerList::IndexOf(std::int32_t value) const noexcept { return TOwnList::IndexOf(ToSlot(value)); }

int TIntegerList::Remove(std::int32_t value) { return TOwnList::Remove(ToSlot(value)); }

// ---- TCategoriesStructure ----

TCategoriesStructure::TCategoriesStructure(TCategoriesStructure* AOwner)
    : TOwnList(static_cast<TPointerList*>(AOwner)), FOwnerCategory(AOwner),
      FCategoryName(AOwner ? QStringLiteral("none") : QStringLiteral("Root"))
{
}

TCategoriesStructure::~TCategoriesStructure()
{
    FreeSubCategories();
    FData.Clear();
}

void TCategoriesStructure::FreeSubCategories() noexcept
{
    // Each sub-category leaves this list as it is destroyed.
    while (Count() > 0)
        delete SubCategory(Count() - 1);
}

void TCategoriesStructure::Clear() { FreeSubCategories(); }

TCategoriesStructure* TCategoriesStructure::CreateNewSubCategory() { return new TCategoriesStructure(this); }

TCategoriesStructure* TCategoriesStructure::AddSubCategory()
{
    TCategoriesStructure* category = CreateNewSubCategory();
    TOwnList::Add(category);
    return category;
}

TCategoriesStructure* TCategoriesStructure::InsertSubCategory(int Index)
{
    if (Index < 0 || Index >= Count())
        return AddSubCategory();
    TCategoriesStructure* category = CreateNewSubCategory();
    TOwnList::Insert(Index, category);
    return category;
}

void TCategoriesStructure::Assign(const TCategoriesStructure& From)
{
    if (&From == this)
        return;
    FData.Clear();
    for (int i = 0; i < From.FData.Count(); ++i)
        FData.Add(From.FData.Items(i));
    FImageIndex = From.FImageIndex;
    FCategoryName = From.FCategoryName;
}

void TCategoriesStructure::AssignStructure(const TCategoriesStructure& From, bool SelfInformationToo)
{
    if (SelfInformationToo)
        Assign(From);
    // Counted first, so that a tree copied into itself copies only what it had.
    const int count = From.Count();
    for (int i = 0; i < count; ++i)
        AddSubCategory()->AssignStructure(*From.SubCategory(i), true);
}

void TCategoriesStructure::ClearData(bool IncludeSubFolders)
{
    FData.Clear();
    if (IncludeSubFolders)
        for (int i = 0; i < Count(); ++i)
            SubCategory(i)->ClearData(true);
}

TCategoriesStructure* TCategoriesStructure::FindErrorCode(std::int32_t Code, int SubLevels)
{
    if (FData.IndexOf(Code) >= 0)
        return this;
    if (SubLevels <= 1)
        return nullptr;
    for (int i = 0; i < Count(); ++i)
        if (TCategoriesStructure* found = SubCategory(i)->FindErrorCode(Code, SubLevels - 1))
            return found;
    return nullptr;
}

bool TCategoriesStructure::IsErrorCodeHere(std::int32_t Code, bool IncludeSubFolders)
{
    FLastFoundCategory = FindErrorCode(Code, IncludeSubFolders ? 1000 : 1);
    return FLastFoundCategory != nullptr;
}

std::int32_t TCategoriesStructure::GetErrorCodes(int i)
{
    int cur = 0;
    TCategoriesStructure* found = nullptr;
    const std::int32_t code = GetAbsoluteErrorCode(i, cur, found);
    FLastFoundCategory = found;
    return code;
}

std::int32_t TCategoriesStructure::GetAbsoluteErrorCode(int Index, int& Cur, TCategoriesStructure*& resCategory)
{
    if (Index >= Cur && Index < Cur + FData.Count()) {
        resCategory = this;
        return FData.Items(Index - Cur);
    }
    Cur += FData.Count();
    for (int i = 0; i < Count(); ++i) {
        const std::int32_t code = SubCategory(i)->GetAbsoluteErrorCode(Index, Cur, resCategory);
        if (code != NoValue)
            return code;
    }
    return NoValue;
}

int TCategoriesStructure::GetErrorCodesCount() const noexcept
{
    int count = FData.Count();
    for (int i = 0; i < Count(); ++i)
        count += static_cast<const TCategoriesStructure*>(TOwnList::Items(i))->GetErrorCodesCount();
    return count;
}

void TCategoriesStructure::BuildTreeNode(ICategoryTreeNode* TN, int SubLevels)
{
    if (!TN)
        return;
    TN->SetText(FCategoryName);
    TN->SetData(this);
    TN->SetImageIndex(FImageIndex);
    if (SubLevels >= 2)
        for (int i = 0; i < Count(); ++i)
            SubCategory(i)->BuildTreeNode(TN->AddChild(), SubLevels - 1);
}

void TCategoriesStructure::ExportToXMLText(bool IncludeSubFolders, const QString& Prefix, QString& Result, bool Root) const
{
    Result = Prefix + QStringLiteral("<NEWCATEGORY NAME=\"%1\"").arg(FCategoryName);
    if (Root)
        Result += QStringLiteral(" ROOT=\"T\"");
    if (FImageIndex != -1)
        Result += QStringLiteral(" IMAGEINDEX=\"%1\"").arg(FImageIndex);
    Result += QStringLiteral(">") + CrLf;
    for (int i = 0; i < FData.Count(); ++i)
        Result += Prefix + QStringLiteral("  <NEWDATA VALUE=\"%1\" />").arg(FData.Items(i)) + CrLf;
    if (IncludeSubFolders)
        for (int i = 0; i < Count(); ++i) {
            QString sub;
            static_cast<const TCategoriesStructure*>(TOwnList::Items(i))->ExportToXMLText(true, Prefix + QStringLiteral("  "), sub, false);
            Result += sub;
        }
    Result += Prefix + QStringLiteral("</NEWCATEGORY>") + CrLf;
}

void TCategoriesStructure::ExportToXML(QString& Result) const
{
    QString tree;
    ExportToXMLText(true, QStringLiteral("  "), tree, true);
    Result = QStringLiteral("<ERRORSYSTEM version=\"1\">") + CrLf + QStringLiteral("  <CLEARALLTEXT />") + CrLf + tree
             + QStringLiteral("</ERRORSYSTEM>");
}

std::int32_t TCategoriesStructure::ImportFromXML(const QString& Text)
{
    THtmlParser parser(Text);
    TCategoryImport import{this};
    std::int32_t result = 0;
    while (result == 0 && parser.NextTag()) {
        const TTag& tag = *parser.GetTag();
        result = import.Apply(ShortTagName(tag), tag);
    }
    return result;
}

// ---- TErrorCategoryList ----

TErrorCategoryList::TErrorCategoryList(QObject* owner) : QObject(owner) { Registry().push_back(this); }

TErrorCategoryList::~TErrorCategoryList()
{
    auto& lists = Registry();
    lists.erase(std::remove(lists.begin(), lists.end(), this), lists.end());
}

TCategoriesStructure* TErrorCategoryList::SelectEditor(TCategoriesStructure* Select)
{
    return FSelector ? FSelector(&FCategories, Select) : nullptr;
}

void SetCategorySelector(TCategorySelector selector) { FSelector = std::move(selector); }

const std::vector<TErrorCategoryList*>& CategoryLists() { return Registry(); }

bool WriteBySelecting() { return FWriteBySelecting; }

void SetWriteBySelecting(bool value) { FWriteBySelecting = value; }

void FileErrorCodeBySelecting(int ListIndex, std::int32_t Code)
{
    const auto& lists = Registry();
    if (ListIndex < 0 || ListIndex >= static_cast<int>(lists.size()))
        return;
    TCategoriesStructure& root = lists[static_cast<size_t>(ListIndex)]->Categories();
    TCategoriesStructure* current = root.FindErrorCode(Code, 1000);
    if (TCategoriesStructure* chosen = lists[static_cast<size_t>(ListIndex)]->SelectEditor(current)) {
        if (current)
            current->Data().Remove(Code);
        chosen->Data().Add(Code);
    }
    FWriteBySelecting = false;
}

void ResetErrorCategoryGlobals() noexcept { FWriteBySelecting = false; }
