#include "LogTestSupport.h"
#include "errorsystem/ErrorSystem_categories.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "errorsystem/ErrorSystem_texts.h"
#include <gtest/gtest.h>

namespace {

// Root [1 2] with A [3] (A1 [4 5]) and B [6].
struct TSampleTree {
    TSampleTree()
    {
        Root.Data().Add(1);
        Root.Data().Add(2);
        A = Root.AddSubCategory();
        A->SetCategoryName("A");
        A->Data().Add(3);
        A1 = A->AddSubCategory();
        A1->SetCategoryName("A1");
        A1->SetImageIndex(4);
        A1->Data().Add(4);
        A1->Data().Add(5);
        B = Root.AddSubCategory();
        B->SetCategoryName("B");
        B->Data().Add(6);
    }
    TCategoriesStructure Root;
    TCategoriesStructure* A;
    TCategoriesStructure* A1;
    TCategoriesStructure* B;
};

// The tree as nested text: name, image, codes and children.
QString Describe(const TCategoriesStructure& c)
{
    QString text = c.CategoryName() + "/" + QString::number(c.ImageIndex()) + "[";
    for (int i = 0; i < c.Data().Count(); ++i)
        text += QString::number(c.Data().Items(i)) + " ";
    for (int i = 0; i < c.Count(); ++i)
        text += Describe(*c.SubCategory(i));
    return text + "]";
}

} // namespace

TEST(ErrorCategoriesTest, IntegerListKeepsSignedValues)
{
    TIntegerList list;
    list.Add(-5);
    list.Add(2147483647);
    list.Add(-5);
    EXPECT_EQ(list.Items(0), -5);
    EXPECT_EQ(list.Items(1), 2147483647);
    EXPECT_EQ(list.IndexOf(-5), 0);
    EXPECT_EQ(list.Remove(-5), 0);
    EXPECT_EQ(list.IndexOf(-5), 1);
    EXPECT_EQ(list.IndexOf(7), -1);
    EXPECT_THROW(list.Items(5), EListError);
}

TEST(ErrorCategoriesTest, CodesAreNumberedInPreOrder)
{
    TSampleTree tree;
    EXPECT_EQ(tree.Root.GetErrorCodesCount(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(tree.Root.GetErrorCodes(i), i + 1);
    EXPECT_EQ(tree.Root.GetErrorCodes(4), 5);
    EXPECT_EQ(tree.Root.LastFoundCategory(), tree.A1);
    EXPECT_EQ(tree.Root.GetErrorCodes(6), NoValue);
    EXPECT_EQ(tree.Root.GetErrorCodes(-1), NoValue);
}

TEST(ErrorCategoriesTest, FindingCodesByDepth)
{
    TSampleTree tree;
    EXPECT_EQ(tree.Root.FindErrorCode(5, 1), nullptr);
    EXPECT_EQ(tree.Root.FindErrorCode(5, 2), nullptr);
    EXPECT_EQ(tree.Root.FindErrorCode(5, 3), tree.A1);
    EXPECT_EQ(tree.Root.FindErrorCode(2, 1), &tree.Root);
    EXPECT_TRUE(tree.Root.IsErrorCodeHere(6, true));
    EXPECT_EQ(tree.Root.LastFoundCategory(), tree.B);
    EXPECT_FALSE(tree.Root.IsErrorCodeHere(6, false));
    EXPECT_EQ(tree.Root.LastFoundCategory(), nullptr);
}

TEST(ErrorCategoriesTest, BuildingCopyingAndClearing)
{
    TSampleTree tree;
    EXPECT_EQ(tree.A->GetOwner(), &tree.Root);
    EXPECT_EQ(tree.Root.CategoryName(), "Root");
    TCategoriesStructure* inserted = tree.Root.InsertSubCategory(0);
    EXPECT_EQ(inserted->CategoryName(), "none");
    EXPECT_EQ(tree.Root.SubCategory(0), inserted);
    TCategoriesStructure* appended = tree.Root.InsertSubCategory(99);
    EXPECT_EQ(tree.Root.SubCategory(3), appended);
    delete inserted;
    delete tree.Root.SubCategory(2);
    EXPECT_EQ(Describe(tree.Root), "Root/-1[1 2 A/-1[3 A1/4[4 5 ]]B/-1[6 ]]");

    TCategoriesStructure copy;
    copy.AssignStructure(tree.Root, true);
    EXPECT_EQ(Describe(copy), Describe(tree.Root));
    copy.ClearData(false);
    EXPECT_EQ(Describe(copy), "Root/-1[A/-1[3 A1/4[4 5 ]]B/-1[6 ]]");
    copy.ClearData(true);
    EXPECT_EQ(copy.GetErrorCodesCount(), 0);
    copy.Clear();
    EXPECT_EQ(copy.Count(), 0);
}

TEST(ErrorCategoriesTest, ExportedTreeImportsBackWhole)
{
    TSampleTree tree;
    tree.Root.SetCategoryName("Errors");
    tree.Root.SetImageIndex(2);
    QString xml;
    tree.Root.ExportToXML(xml);
    EXPECT_TRUE(xml.startsWith("<ERRORSYSTEM version=\"1\">\r\n  <CLEARALLTEXT />\r\n  <NEWCATEGORY NAME=\"Errors\" ROOT=\"T\" IMAGEINDEX=\"2\">\r\n"
                               "    <NEWDATA VALUE=\"1\" />\r\n"));
    EXPECT_TRUE(xml.contains("      <NEWCATEGORY NAME=\"A1\" IMAGEINDEX=\"4\">\r\n"));
    EXPECT_TRUE(xml.endsWith("  </NEWCATEGORY>\r\n</ERRORSYSTEM>"));

    TCategoriesStructure imported;
    imported.AddSubCategory()->SetCategoryName("old");
    imported.Data().Add(99);
    EXPECT_EQ(imported.ImportFromXML(xml), 0);
    EXPECT_EQ(Describe(imported), Describe(tree.Root));
}

TEST(ErrorCategoriesTest, ImportErrorsAreReturned)
{
    TCategoriesStructure root;
    EXPECT_EQ(root.ImportFromXML("<NEWDATA VALUE=\"1\" />"), -1104);
    EXPECT_EQ(root.ImportFromXML("<NEWCATEGORY NAME=\"x\">"), -1104);
    EXPECT_EQ(root.ImportFromXML("<ERRORSYSTEM><ERRORSYSTEM>"), -1100);
    EXPECT_EQ(root.ImportFromXML("</ERRORSYSTEM>"), -1103);
    EXPECT_EQ(root.ImportFromXML("<ERRORSYSTEM></NEWCATEGORY>"), -1103);
    // Clearing inside an open category frees it; reading goes on at the top.
    EXPECT_EQ(root.ImportFromXML("<ERRORSYSTEM><NEWCATEGORY NAME=\"a\"><CLEARALLTEXT /><NEWCATEGORY NAME=\"b\"><NEWDATA VALUE=\"7\" />"), 0);
    EXPECT_EQ(Describe(root), "Root/-1[b/-1[7 ]]");
    // Only the first escaped quote of a value becomes a quote; a name with a quote does not survive.
    EXPECT_EQ(root.ImportFromXML("<ERRORSYSTEM><NEWCATEGORY NAME=\"a&#34;b&#34;c\"></NEWCATEGORY>"), 0);
    EXPECT_EQ(root.SubCategory(root.Count() - 1)->CategoryName(), "a\"b&#34;c");
}

TEST(ErrorCategoriesTest, FilingATextItemsCodeThroughTheSelector)
{
    TLogSystemScope logSystem;
    TErrorTextList texts;
    TErrorTextItem* item = texts.Items().Add();
    item->SetCategories(0);
    EXPECT_EQ(item->Categories(), -1);

    TErrorCategoryList categories;
    ASSERT_EQ(CategoryLists().size(), 1u);
    TCategoriesStructure* from = categories.Categories().AddSubCategory();
    TCategoriesStructure* to = categories.Categories().AddSubCategory();
    from->Data().Add(item->ErrorCode());
    TCategoriesStructure* offered = nullptr;
    SetCategorySelector([&](TCategoriesStructure* root, TCategoriesStructure* select) {
        EXPECT_EQ(root, &categories.Categories());
        offered = select;
        return to;
    });
    SetWriteBySelecting(true);
    item->SetCategories(0);
    SetCategorySelector(nullptr);
    EXPECT_EQ(offered, from);
    EXPECT_EQ(from->Data().Count(), 0);
    EXPECT_EQ(to->Data().IndexOf(item->ErrorCode()), 0);
    EXPECT_FALSE(WriteBySelecting());
    EXPECT_EQ(item->Categories(), -1);
}
