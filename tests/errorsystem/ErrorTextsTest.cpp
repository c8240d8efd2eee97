#include "LogTestSupport.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "errorsystem/ErrorSystem_texts.h"
#include "platform/TextFile.h"
#include <gtest/gtest.h>

namespace {

class ErrorTextsTest : public LogSystemTest {
protected:
    QString XmlFile() const { return FDir.File("texts.xml"); }
    void WriteXml(const QByteArray& bytes) const { TestSupport::WriteFileBytes(XmlFile(), bytes); }
};

QByteArray Wrapped(const QByteArray& body) { return "<ERRORSYSTEM version=\"1\">\r\n" + body + "\r\n</ERRORSYSTEM>\r\n"; }

} // namespace

TEST_F(ErrorTextsTest, StartUpRegistersTheSystemTextsAndNumbersOnFromThem)
{
    ASSERT_NE(GlobalList(), nullptr);
    ASSERT_EQ(GlobalList()->Items().Count(), 15);
    for (int i = 0; i < GlobalList()->Items().Count(); ++i)
        EXPECT_FALSE(GlobalList()->Items().Items(i)->VisibleInList());
    EXPECT_EQ(GetErrorText(-1003), "ErrorSystem internal: Destination was not found.");
    EXPECT_EQ(GetErrorText(-1104), "ErrorSystem Import: This tag is not supported on this level. (%s)");
    EXPECT_EQ(LastErrorCode(), -1107);

    TErrorTextList list;
    EXPECT_EQ(list.Items().Add()->ErrorCode(), -1099);
    EXPECT_EQ(list.Items().Add()->ErrorCode(), -1098);
    EXPECT_EQ(GetErrorText(123456), "");
    EXPECT_EQ(GetFormatErrorText(123456, "x"), "");
    EXPECT_EQ(GetFormatErrorText(-1005, "(detail)"), "ErrorSystem internal: No local code was found. (detail)");
}

TEST_F(ErrorTextsTest, CodesAreUniqueOverAllRegisteredLists)
{
    TErrorTextList list;
    TErrorTextItem* item = list.Items().Add();
    EXPECT_EQ(RaisedMessage([&] { item->SetErrorCode(-1003); }),
              "ErrorSystem internal: This ErrorCode is already used. ErrorCode=-1003");
    item->SetErrorCode(5);
    EXPECT_EQ(LastErrorCode(), 5);
    // The next free code skips every code taken in any list.
    TErrorTextList other;
    other.Items().Add()->SetErrorCode(6);
    other.Items().Add()->SetErrorCode(7);
    EXPECT_EQ(GetNextErrorCode(), 8);
    EXPECT_EQ(GetErrorTextItem(6), other.Items().Items(0));
    // Codes wrap at the end of the range instead of overflowing.
    item->SetErrorCode(2147483647);
    EXPECT_EQ(GetNextErrorCode(), -2147483647 - 1);
}

TEST_F(ErrorTextsTest, TextLinesAndTheirMarker)
{
    TErrorTextList list;
    TErrorTextItem* item = list.Items().Add();
    item->SetText("first||second");
    EXPECT_EQ(item->Texts(), QStringList({"first", "second"}));
    EXPECT_EQ(item->Text(), "first\r\nsecond");
    item->SetTexts({"one", ""});
    EXPECT_EQ(item->Text(), "one\r\n");
    item->OnGetText = [](TErrorTextItem*, QString& text) { text += "!"; };
    item->SetText("x");
    EXPECT_EQ(item->Text(), "x!");
    EXPECT_EQ(item->GetDisplayName(), QStringLiteral("E%1 - x!").arg(item->ErrorCode()));
}

TEST_F(ErrorTextsTest, ExportedFileReadsBackIdenticallyIntoAFreshList)
{
    struct TExpected {
        std::int32_t Code, Priority, Tag, Typ;
        QString Text;
        bool Visible;
        TSystemErrors Policy;
    };
    const std::vector<TExpected> expected = {
        {10, 0, 0, 0, "plain", true, seRaise},
        {11, 3, -4, 5, "say \"hello\"\r\nsecond line", false, seLog},
        {12, 0, 0, 0, "it's 'single' & \"double\"", true, seHide},
        {13, 1, 2, 3, "", false, seWriteToDefaultFile},
    };
    {
        TErrorTextList list;
        for (const TExpected& e : expected) {
            TErrorTextItem* item = list.Items().Add();
            item->SetErrorCode(e.Code);
            item->SetPriority(e.Priority);
            item->SetTag(e.Tag);
            item->SetTyp(e.Typ);
            item->SetText(e.Text);
            item->SetVisibleInList(e.Visible);
            item->SetInternalErrors(e.Policy);
        }
        list.ExportToXML(XmlFile());
    }
    const QByteArray file = TestSupport::ReadFileBytes(XmlFile());
    EXPECT_TRUE(file.startsWith("<ERRORSYSTEM version=\"1\">\r\n  <RESPECTECODES VALUE=\"T\" /><CLEARALLTEXT />\r\n"));
    EXPECT_TRUE(file.contains("  <NEWERRORTEXT ERRORCODE=\"10\" TEXT=\"plain\" />\r\n"));
    EXPECT_TRUE(file.contains("TEXT=\"say &#34;hello&#34;\r\nsecond line\" PRIORITY=\"3\" TAG=\"-4\" TYP=\"5\" VISIBLEINLIST=\"F\" INTERNALERRORS=\"1\" />"));
    EXPECT_TRUE(file.endsWith("</ERRORSYSTEM>\r\n"));

    TErrorTextList fresh;
    EXPECT_EQ(fresh.ImportFromXML(XmlFile()), 0);
    ASSERT_EQ(fresh.Items().Count(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        TErrorTextItem* item = fresh.Items().Items(static_cast<int>(i));
        EXPECT_EQ(item->ErrorCode(), expected[i].Code);
        EXPECT_EQ(item->Priority(), expected[i].Priority);
        EXPECT_EQ(item->Tag(), expected[i].Tag);
        EXPECT_EQ(item->Typ(), expected[i].Typ);
        EXPECT_EQ(item->Text(), expected[i].Text);
        EXPECT_EQ(item->VisibleInList(), expected[i].Visible);
        EXPECT_EQ(item->InternalErrors(), expected[i].Policy);
    }
    // Importing again into the same list clears it first, so the codes are free again.
    EXPECT_EQ(fresh.ImportFromXML(XmlFile()), 0);
    EXPECT_EQ(fresh.Items().Count(), static_cast<int>(expected.size()));
}

TEST_F(ErrorTextsTest, StructureErrorsFollowTheListPolicy)
{
    const QString misplaced = "ErrorSystem Import: This tag is not supported on this level. (NEWERRORTEXT)";
    TErrorTextList list;
    WriteXml("<NEWERRORTEXT ERRORCODE=\"1\" />");
    EXPECT_EQ(RaisedMessage([&] { list.ImportFromXML(XmlFile()); }), misplaced);

    WriteXml(Wrapped("<ERRORSYSTEM>"));
    EXPECT_EQ(RaisedMessage([&] { list.ImportFromXML(XmlFile()); }), "ErrorSystem Import: <ERRORSYSTEM> is already opened.");

    list.SetInternalErrors(seHide);
    WriteXml("</errorsystem>");
    EXPECT_EQ(list.ImportFromXML(XmlFile()), -1103);
    WriteXml("<CLEARALLTEXT />");
    EXPECT_EQ(list.ImportFromXML(XmlFile()), -1104);

    list.SetInternalErrors(seWriteToDefaultFile);
    WriteXml(Wrapped("<NEWERRORTEXT ERRORCODE=\"20\" /></ERRORSYSTEM><NEWERRORTEXT ERRORCODE=\"21\" />"));
    EXPECT_EQ(list.ImportFromXML(XmlFile()), -1104);
    EXPECT_EQ(AfterTimeStamp(FileLines(LogFile()).value(0)), misplaced);
    // Items read before the error stay.
    ASSERT_EQ(list.Items().Count(), 1);
    EXPECT_EQ(list.Items().Items(0)->ErrorCode(), 20);

    list.SetInternalErrors(seLog);
    TErrorDestination destination;
    std::int32_t reported = 0;
    QString message;
    destination.OnActivateItem = [&](QObject*, TErrorItem* item, std::int32_t, std::int32_t&) {
        reported = item->ErrorCode();
        message = item->Message();
    };
    WriteXml("</ERRORSYSTEM>");
    EXPECT_EQ(list.ImportFromXML(XmlFile()), -1103);
    EXPECT_EQ(reported, -1103);
    EXPECT_EQ(message, "/ERRORSYSTEM");
}

TEST_F(ErrorTextsTest, AttributeReadingRules)
{
    TErrorTextList list;
    WriteXml("<?xml version=\"1.0\"?>\r\n"
             + Wrapped("<RESPECTECODES VALUE=F />"                 // unquoted: falls back to true
                       "<NEWERRORTEXT errorcode=\"30\" TEXT=\"a>b\" />"  // the tag ends at ">"
                       "<NEWERRORTEXT ERRORCODE=\"99999999999\" PRIORITY=\"x\" INTERNALERRORS=\"7\" VISIBLEINLIST=\"f\" />"
                       "<NEWERRORTEXT ERRORCODE=\"$20\" TEXT=\"\" TAG='5' />"
                       "<CLEARALLTEXT/>"));                              // not recognised: ignored
    EXPECT_EQ(list.ImportFromXML(XmlFile()), 0);
    ASSERT_EQ(list.Items().Count(), 3);
    EXPECT_EQ(list.Items().Items(0)->ErrorCode(), 30);
    // The value "a lost its closing quote with the rest of the text, and with it its last character.
    EXPECT_EQ(list.Items().Items(0)->Text(), "");
    // A number too large and an unknown policy number leave the defaults.
    EXPECT_EQ(list.Items().Items(1)->ErrorCode(), 0);
    EXPECT_EQ(list.Items().Items(1)->Priority(), 0);
    EXPECT_EQ(list.Items().Items(1)->InternalErrors(), seRaise);
    EXPECT_TRUE(list.Items().Items(1)->VisibleInList());
    EXPECT_EQ(list.Items().Items(2)->ErrorCode(), 32);
    EXPECT_EQ(list.Items().Items(2)->Text(), "");
    EXPECT_EQ(list.Items().Items(2)->Tag(), 5);
}

TEST_F(ErrorTextsTest, RespectCodesFalseKeepsAutomaticCodes)
{
    TErrorTextList list;
    WriteXml(Wrapped("<RESPECTECODES VALUE=\"F\" /><NEWERRORTEXT ERRORCODE=\"-1003\" TEXT=\"x\" /><NEWERRORTEXT ERRORCODE=\"500\" />"));
    EXPECT_EQ(list.ImportFromXML(XmlFile()), 0);
    ASSERT_EQ(list.Items().Count(), 2);
    EXPECT_EQ(list.Items().Items(0)->ErrorCode(), -1099);
    EXPECT_EQ(list.Items().Items(1)->ErrorCode(), -1098);

    // With codes respected, a used code stops the import with the uniqueness exception.
    WriteXml(Wrapped("<NEWERRORTEXT ERRORCODE=\"-1003\" />"));
    EXPECT_EQ(RaisedMessage([&] { list.ImportFromXML(XmlFile()); }),
              "ErrorSystem internal: This ErrorCode is already used. ErrorCode=-1003");
}

TEST_F(ErrorTextsTest, FilesWithByteOrderMarksAndMissingFiles)
{
    TErrorTextList list;
    WriteXml("\xEF\xBB\xBF" + Wrapped("<NEWERRORTEXT ERRORCODE=\"40\" TEXT=\"Dobrý den\" />"));
    EXPECT_EQ(list.ImportFromXML(XmlFile()), 0);
    EXPECT_EQ(list.Items().Items(0)->Text(), "Dobrý den");

    const QString utf16 = QString::fromUtf8(Wrapped("<CLEARALLTEXT /><NEWERRORTEXT ERRORCODE=\"41\" TEXT=\"žluť\" />"));
    QByteArray bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2);
    WriteXml(bytes);
    EXPECT_EQ(list.ImportFromXML(XmlFile()), 0);
    ASSERT_EQ(list.Items().Count(), 1);
    EXPECT_EQ(list.Items().Items(0)->Text(), "žluť");

    EXPECT_THROW(list.ImportFromXML(FDir.File("missing.xml")), EFOpenError);
    EXPECT_THROW(list.ExportToXML(FDir.File("no/such/folder.xml")), EFCreateError);
}

TEST_F(ErrorTextsTest, PlainTextExportAndDialogEntryPoints)
{
    TErrorTextList list;
    TErrorTextItem* item = list.Items().Add();
    item->SetErrorCode(50);
    item->SetText("fifty");
    list.ExportToFile(FDir.File("full.txt"), 1);
    EXPECT_EQ(TestSupport::ReadFileBytes(FDir.File("full.txt")), "E50 - fifty\r\n");
    list.ExportToFile(FDir.File("texts.txt"), 2);
    EXPECT_EQ(TestSupport::ReadFileBytes(FDir.File("texts.txt")), "fifty\r\n");

    // Without a chooser nothing happens; a name without extension gets the filter's one.
    list.ExportItems();
    int chosenFilter = 3;
    QString chosenName = FDir.File("chosen");
    QString asked;
    SetErrorTextFileChooser([&](TFileDialogKind, const QString& filter, QString& name, int& index) {
        asked = filter;
        name = chosenName;
        index = chosenFilter;
        return true;
    });
    list.ExportItems();
    EXPECT_TRUE(TestSupport::ReadFileBytes(FDir.File("chosen.XML")).contains("ERRORCODE=\"50\""));
    chosenFilter = 2;
    list.ExportItems();
    EXPECT_EQ(TestSupport::ReadFileBytes(FDir.File("chosen.txt")), "fifty\r\n");
    chosenName = FDir.File("chosen.XML");
    list.ImportItems();
    EXPECT_EQ(list.Items().Items(0)->ErrorCode(), 50);
    EXPECT_EQ(asked, "XML text (*.XML)|*.XML|Všechny soubory (*.*)|*.*");
    SetErrorTextFileChooser(nullptr);
}

// Hand-edited files: whatever they hold, the import ends with a result or an exception.
TEST_F(ErrorTextsTest, MalformedFilesNeverBreakTheImport)
{
    const QByteArray inputs[] = {
        "<", ">", "<>", "<<>>", "< >", "<ERRORSYSTEM", Wrapped("<NEWERRORTEXT TEXT=\"open quote />"),
        Wrapped("<NEWERRORTEXT ERRORCODE= TEXT= />"), Wrapped("<NEWERRORTEXT ERRORCODE=\"\" TEXT=\"\"\" />"),
        QByteArray("\x00\x01\xFF<\x00>", 6), Wrapped(QByteArray(3 * 1024 * 1024, 'x')),
    };
    TErrorTextList list;
    list.SetInternalErrors(seHide);
    for (const QByteArray& input : inputs) {
        WriteXml(input);
        try {
            list.ImportFromXML(XmlFile());
        } catch (const Exception&) {
        }
    }
    // A large file of ordinary lines reads in one pass.
    QByteArray large = "<ERRORSYSTEM version=\"1\">\r\n<CLEARALLTEXT />\r\n";
    for (int i = 0; i < 50000; ++i)
        large += "  <NEWERRORTEXT ERRORCODE=\"" + QByteArray::number(100000 + i) + "\" TEXT=\"text number " + QByteArray::number(i) + "\" />\r\n";
    WriteXml(large);
    EXPECT_EQ(list.ImportFromXML(XmlFile()), 0);
    EXPECT_EQ(list.Items().Count(), 50000);
}
