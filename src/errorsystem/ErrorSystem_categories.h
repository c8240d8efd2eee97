#pragma once
#include "common/kxtools.h"
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

// Error categories: a tree of named categories, each holding error codes. A tree can be written to
// and read from the ERRORSYSTEM dialect with category elements.

// A list of 32-bit signed integers kept in the item slots of an owned list.
class TIntegerList : public TOwnList {
public:
    using TOwnList::TOwnList;

    int Add(std::int32_t value);
    std::int32_t Items(int index) const;
    void SetItems(int index, std::int32_t value);
    int IndexOf(std::int32_t value) const noexcept;
    // Removes the first occurrence; its former index, or -1.
    int Remove(std::int32_t value);
};

// A node of the tree a view shows a category in.
class ICategoryTreeNode {
public:
    virtual ~ICategoryTreeNode() = default;
    virtual void SetText(const QString& text) = 0;
    virtual void SetData(void* data) = 0;
    virtual void SetImageIndex(int index) = 0;
    virtual ICategoryTreeNode* AddChild() = 0;
};

// One category: its name, image number, own codes and sub-categories (the list's items).
class TCategoriesStructure : public TOwnList {
public:
    // Without owner the category is a root named "Root"; a sub-category starts as "none". The
    // owner does not get the new category in its list: AddSubCategory and InsertSubCategory do.
    explicit TCategoriesStructure(TCategoriesStructure* AOwner = nullptr);
    // Frees the sub-categories last first, then the codes; then leaves the owner's list.
    ~TCategoriesStructure() override;

    // Frees every sub-category, last first; the codes stay.
    virtual void Clear();
    TCategoriesStructure* AddSubCategory();
    // At Index, or appended when Index is past the end.
    TCategoriesStructure* InsertSubCategory(int Index);
    TCategoriesStructure* CreateNewSubCategory();
    TCategoriesStructure* GetOwner() const noexcept { return FOwnerCategory; }
    TCategoriesStructure* SubCategory(int index) const { return static_cast<TCategoriesStructure*>(TOwnList::Items(index)); }

    const QString& CategoryName() const noexcept { return FCategoryName; }
    void SetCategoryName(const QString& value) { FCategoryName = value; }
    std::int32_t ImageIndex() const noexcept { return FImageIndex; }
    void SetImageIndex(std::int32_t value) noexcept { FImageIndex = value; }
    TIntegerList& Data() noexcept { return FData; }
    const TIntegerList& Data() const noexcept { return FData; }
    TCategoriesStructure* LastFoundCategory() const noexcept { return FLastFoundCategory; }

    // Copies the codes, the image number and the name.
    virtual void Assign(const TCategoriesStructure& From);
    // Appends copies of From's sub-trees; with SelfInformationToo also Assign(From).
    void AssignStructure(const TCategoriesStructure& From, bool SelfInformationToo);
    void ClearData(bool IncludeSubFolders);

    // This category when its own codes hold Code, else (with SubLevels above 1) the first
    // sub-category answer with SubLevels - 1.
    virtual TCategoriesStructure* FindErrorCode(std::int32_t Code, int SubLevels);
    virtual bool IsErrorCodeHere(std::int32_t Code, bool IncludeSubFolders);
    // Code number i of the sub-tree in pre-order (own codes first); NoValue past the end.
    std::int32_t GetErrorCodes(int i);
    virtual std::int32_t GetAbsoluteErrorCode(int Index, int& Cur, TCategoriesStructure*& resCategory);
    int GetErrorCodesCount() const noexcept;
    virtual void BuildTreeNode(ICategoryTreeNode* TN, int SubLevels);

    // Reads a category tree: 0 or the import error, which is returned, not raised.
    std::int32_t ImportFromXML(const QString& Text);
    void ExportToXML(QString& Result) const;
    void ExportToXMLText(bool IncludeSubFolders, const QString& Prefix, QString& Result, bool Root) const;

private:
    void FreeSubCategories() noexcept;

    TCategoriesStructure* FOwnerCategory = nullptr;
    TIntegerList FData;
    QString FCategoryName;
    TCategoriesStructure* FLastFoundCategory = nullptr;
    std::int32_t FImageIndex = -1;
};

// Lets the user pick a category of the tree, starting at Select; none when cancelled. The category
// editor window installs it.
using TCategorySelector = std::function<TCategoriesStructure*(TCategoriesStructure* Root, TCategoriesStructure* Select)>;
void SetCategorySelector(TCategorySelector selector);

// A component that owns a category tree. It registers itself in CategoryLists while it exists.
class TErrorCategoryList : public QObject {
    Q_OBJECT

public:
    explicit TErrorCategoryList(QObject* owner = nullptr);
    ~TErrorCategoryList() override;

    TCategoriesStructure& Categories() noexcept { return FCategories; }
    // Runs the installed selector on the tree; none without a selector or when cancelled.
    TCategoriesStructure* SelectEditor(TCategoriesStructure* Select);

private:
    TCategoriesStructure FCategories;
};

const std::vector<TErrorCategoryList*>& CategoryLists();
bool WriteBySelecting();
void SetWriteBySelecting(bool value);
// Lets the user file Code in a category of category list ListIndex (moving it from where it is
// filed now) and clears WriteBySelecting.
void FileErrorCodeBySelecting(int ListIndex, std::int32_t Code);

// Called by the log system's start-up and shut-down.
void ResetErrorCategoryGlobals() noexcept;
