#include "EpsnetTestSupport.h"
#include "epsnet/kxEPSNET_taglist.h"
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace {

QStringList NamesInOrder(const TEpsnetTagList& list)
{
    QStringList names;
    for (int i = 0; i < list.Count(); ++i)
        names << list.Items(i)->Name();
    return names;
}

QString AddressesInOrder(const TEpsnetTagList& list)
{
    QStringList addresses;
    for (int i = 0; i < list.Count(); ++i)
        addresses << QStringLiteral("%1%2").arg(AreaToChar(list.Items(i)->Area())).arg(list.Items(i)->Address());
    return addresses.join(u' ');
}

// True when another thread can take the list's lock now, that is, nobody kept it.
bool LockIsFree(TEpsnetThreadSafeTagList& list)
{
    std::thread other([&] {
        list.LockList();
        list.UnLock();
    });
    other.join();
    return true;
}

const QString SamplePub = QStringLiteral(
    "; PLC public variables\r\n"
    "\r\n"
    "Pump R B 10 .2 BOOL ;pump on\r\n"
    "  Temp R B 120 REAL ;boiler  \n"
    "1stLine R B 0 INT\r"
    "_hidden R B 0 INT\n"
    "Msg R B 200 STRING[40] ;text for the speaker\n"
    "\tInput X B 500 USINT\t\n"
    "[section]\n"
    "Mode R B 7 MYENUM");

} // namespace

// Only tag lines become tags; the list is then in name order and finds each name.
TEST(EpsnetTagList, LoadFromStringKeepsTagLinesSortedByName)
{
    TEpsnetTagList list;
    list.LoadFromString(SamplePub);
    EXPECT_EQ(NamesInOrder(list), QStringList({"Input", "Mode", "Msg", "Pump", "Temp"}));
    EXPECT_TRUE(list.NameSorted());
    EXPECT_EQ(list.GetTagByName(QStringLiteral("Temp"))->Address(), 120);
    EXPECT_EQ(list.GetDescription(QStringLiteral("Msg")), "text for the speaker");
    EXPECT_EQ(list.GetTagByName(QStringLiteral("1stLine")), nullptr);
    EXPECT_EQ(ErrorOf([&] { list.Items(5); }), "EListError: List index out of bounds (5)");

    // A new load frees the old tags first.
    list.LoadFromString(QStringLiteral("Other R W 0 INT"));
    EXPECT_EQ(NamesInOrder(list), QStringList({"Other"}));
}

// A text without tag lines is not loaded and leaves the list empty, and every lookup raises.
TEST(EpsnetTagList, EmptyListRaisesOnEveryLookup)
{
    TEpsnetTagList list;
    EXPECT_EQ(ErrorOf([&] { list.LoadFromString(QStringLiteral("; nothing\r\n\r\n123 R B 0 INT\r\n")); }),
              "EEPSNETException: PUB file not loaded: no usable tag");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("Pump")), nullptr);
    const QString missing = QStringLiteral("EEPSNETException: Requested tag Pump doesn't exist in current tag list");
    const QString name = QStringLiteral("Pump");
    EXPECT_EQ(ErrorOf([&] { list.GetAsBool(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.GetAsInteger(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.GetAsFloat(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.GetAsDateTime(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.GetAsString(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.GetDescription(name); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.SetAsString(name, {}); }), missing);
    EXPECT_EQ(ErrorOf([&] { list.SetAsFloat(name, 1); }), missing);
}

// Names are compared by code unit: Abc and abc are two tags and ABC is neither.
TEST(EpsnetTagList, LookupIsCaseSensitive)
{
    TEpsnetTagList list;
    list.LoadFromString(QStringLiteral("abc R W 1 INT\nAbc R W 2 INT\nb R W 3 INT\nZ R W 4 INT\n\x010C R W 5 INT"));
    EXPECT_EQ(NamesInOrder(list), QStringList({"Abc", "Z", "abc", "b"}));
    EXPECT_EQ(list.GetTagByName(QStringLiteral("Abc"))->Address(), 2);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("abc"))->Address(), 1);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("ABC")), nullptr);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("")), nullptr);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("zz")), nullptr);
}

// Address order puts the area first (X, Y, S, R); a lookup sorts back into name order.
TEST(EpsnetTagList, AddressOrderAndBackToNames)
{
    TEpsnetTagList list;
    list.LoadFromString(QStringLiteral("a R W 10 INT\nb X W 500 INT\nc S W 3 INT\nd Y W 7 INT\ne R W 1 INT\nf X W 2 INT"));
    list.SotrByAddr();
    EXPECT_FALSE(list.NameSorted());
    EXPECT_EQ(AddressesInOrder(list), "X2 X500 Y7 S3 R1 R10");
    EXPECT_EQ(list.GetTagByName(QStringLiteral("c"))->Address(), 3);
    EXPECT_TRUE(list.NameSorted());
    EXPECT_EQ(NamesInOrder(list), QStringList({"a", "b", "c", "d", "e", "f"}));
}

// Tags of the same name all stay; a lookup finds the first of them in the file.
TEST(EpsnetTagList, DuplicateNamesFindTheFirst)
{
    TEpsnetTagList list;
    list.LoadFromString(QStringLiteral("Dup R W 30 INT\nA R W 0 INT\nDup R W 10 INT\nDup X W 20 INT"));
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.GetTagByName(QStringLiteral("Dup"))->Address(), 30);
    list.SotrByAddr();
    EXPECT_EQ(list.GetTagByName(QStringLiteral("Dup"))->Address(), 30);
}

// A line that fails and a tag outside its area's memory are left out with a warning that names
// the line; the other tags load, name-sorted.
TEST(EpsnetTagList, BadLinesAreLeftOutWithAWarning)
{
    TEpsnetTagList list;
    list.LoadFromString(QStringLiteral("Zeta R W 0 INT\nAlpha R W 2 INT\nBad R W 4 WORD\nFar R B 65535 INT\nNeg X B -1 BOOL\nBeta R W 6 INT"));
    EXPECT_EQ(NamesInOrder(list), QStringList({"Alpha", "Beta", "Zeta"}));
    EXPECT_EQ(list.LoadWarnings(), QStringList({"PUB line 3 left out: Unsupported datatype \"WORD\"",
                                                "PUB line 4 left out: tag Far lies outside the memory of area R (address 65535, 2 bytes)",
                                                "PUB line 5 left out: tag Neg lies outside the memory of area X (address -1, 1 bytes)"}));
    list.LoadFromString(QStringLiteral("Last R B 65534 INT"));
    EXPECT_TRUE(list.LoadWarnings().isEmpty());
    EXPECT_EQ(list.Count(), 1);
}

// A text without a usable tag is not loaded: the tags from before stay readable in their images
// and the lock is free again.
TEST(EpsnetTagList, TextWithoutAUsableTagKeepsTheTagsFromBefore)
{
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(QStringLiteral("Msg R B 0 STRING[10]"));
    EXPECT_EQ(ErrorOf([&] { list.LoadFromString(QStringLiteral("Pump R B 10\n; nothing else")); }),
              "EEPSNETException: PUB file not loaded: no usable tag: PUB line 1 left out: Wrong line format:Pump R B 10");
    EXPECT_TRUE(LockIsFree(list));
    list.UpdateFromPacket(*AnswerPacket(_epsnet_r, 0, Bytes({'H', 'i', 0})));
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), "Hi");
    EXPECT_EQ(ErrorOf([&] { list.LoadFromString(QString()); }), "EEPSNETException: PUB file not loaded: no usable tag");
}

// Warnings are bounded: of many broken lines twenty are kept and the rest counted.
TEST(EpsnetTagList, WarningsAreBounded)
{
    TEpsnetTagList list;
    QString text = QStringLiteral("Ok R B 0 INT\n");
    for (int i = 0; i < 100; ++i)
        text += QStringLiteral("Bad R B x INT\n");
    list.LoadFromString(text);
    ASSERT_EQ(list.LoadWarnings().size(), TEpsnetTagList::MaxLoadWarnings + 1);
    EXPECT_EQ(list.LoadWarnings().back(), "80 more PUB lines left out");
}

// A tag points at the image of its area; an answer for that area shows in its value.
TEST(EpsnetTagList, AnswersReachTheTagsOfTheirArea)
{
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(QStringLiteral("Cnt R W 100 DINT\nIn X W 100 DINT\nMsg S B 0 STRING[8]\nOut Y B 1 .0 BOOL"));
    EXPECT_EQ(list.GetAsInteger(QStringLiteral("Cnt")), 0);
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), "");

    list.UpdateFromPacket(*AnswerPacket(_epsnet_r, 96, Bytes({9, 9, 9, 9, 0x78, 0x56, 0x34, 0x12})));
    EXPECT_EQ(list.GetAsInteger(QStringLiteral("Cnt")), 0x12345678);
    EXPECT_EQ(list.GetAsInteger(QStringLiteral("In")), 0);

    list.UpdateFromPacket(*AnswerPacket(_epsnet_r, 102, Bytes({0xAA})));
    EXPECT_EQ(list.GetAsInteger(QStringLiteral("Cnt")), 0x12AA5678);

    list.UpdateFromPacket(*AnswerPacket(_epsnet_s, 0, Chars("hello\0")));
    list.UpdateFromPacket(*AnswerPacket(_epsnet_y, 1, Bytes({1})));
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), "hello");
    EXPECT_TRUE(list.GetAsBool(QStringLiteral("Out")));

    // An area that has no image is ignored; an address outside the image raises.
    list.UpdateFromPacket(*AnswerPacket(static_cast<TEPSNETArea>(7), 0, Bytes({1})));
    EXPECT_EQ(ErrorOf([&] { list.UpdateFromPacket(*AnswerPacket(_epsnet_r, -1, Bytes({1}))); }),
              "EEPSNETException: Out of RAM space");
    EXPECT_TRUE(LockIsFree(list));
    EXPECT_EQ(list.GetRamArea(_epsnet_r)->ram[96], 9);
}

// A lookup of a missing name through the thread-safe list raises and leaves the lock free.
TEST(EpsnetTagList, ThreadSafeMissingNameFreesTheLock)
{
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(QStringLiteral("Msg R B 0 STRING[10]"));
    EXPECT_EQ(ErrorOf([&] { list.GetAsString(QStringLiteral("Nope")); }),
              "EEPSNETException: Requested tag Nope doesn't exist in current tag list");
    EXPECT_TRUE(LockIsFree(list));
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), "");
}

// SetAsBool and SetDescription change the named tag; the value setters change nothing.
TEST(EpsnetTagList, SettersThroughTheList)
{
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(QStringLiteral("Pump R B 10 .2 BOOL ;pump\nCnt R W 0 DINT"));
    list.SetAsBool(QStringLiteral("Pump"), true);
    EXPECT_TRUE(list.GetAsBool(QStringLiteral("Pump")));
    EXPECT_EQ(list.GetRamArea(_epsnet_r)->ram[10], 0x04);
    list.SetDescription(QStringLiteral("Pump"), QStringLiteral("main pump"));
    EXPECT_EQ(list.GetDescription(QStringLiteral("Pump")), "main pump");
    list.SetAsInteger(QStringLiteral("Cnt"), 5);
    list.SetAsFloat(QStringLiteral("Cnt"), 5);
    list.SetAsDateTime(QStringLiteral("Cnt"), 5);
    list.SetAsString(QStringLiteral("Cnt"), QStringLiteral("5"));
    EXPECT_EQ(list.GetAsInteger(QStringLiteral("Cnt")), 0);
    EXPECT_EQ(ErrorOf([&] { list.SetAsBool(QStringLiteral("Nope"), true); }),
              "EEPSNETException: Requested tag Nope doesn't exist in current tag list");
}

// The PLC's code page decodes STRING values and PUB files without a byte-order mark.
TEST(EpsnetTagList, PlcCodePage)
{
    TEpsnetThreadSafeTagList list;
    EXPECT_FALSE(list.SetCodePage(QStringLiteral("no-such-code-page")));
    EXPECT_EQ(list.CodePage().Name(), AnsiCodePage().Name());
    EXPECT_TRUE(list.SetCodePage(QStringLiteral("windows-1250")));
    list.LoadFromString(QStringLiteral("Msg R B 0 STRING[10]"));
    list.UpdateFromPacket(*AnswerPacket(_epsnet_r, 0, Bytes({0x8E, 0x6C, 0x75, 0x9D, 0x6F, 0x75, 0xE8, 0x6B, 0xFD, 0})));
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), QString::fromUtf16(u"Žluťoučký"));
    // Changing the code page reaches the tags already loaded.
    EXPECT_TRUE(list.SetCodePage(QStringLiteral("ISO-8859-2")));
    EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")).left(1), QString::fromUtf16(u"\x008E"));
}

// A file is read in the PLC's code page unless a byte-order mark says UTF-8 or UTF-16.
TEST(EpsnetTagList, LoadFromFileHonoursCodePageAndByteOrderMark)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString text = QString::fromUtf16(u"Msg R B 0 STRING[4] ;hlášení\r\n");
    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    QStringEncoder cp1250("windows-1250");
    QStringEncoder utf16(QStringConverter::Utf16LE);
    const QString plain = write("plain.pub", cp1250.encode(text));
    const QString utf8 = write("utf8.pub", "\xEF\xBB\xBF" + text.toUtf8());
    const QString wide = write("utf16.pub", "\xFF\xFE" + QByteArray(utf16.encode(text)));

    TEpsnetThreadSafeTagList list;
    list.SetCodePage(QStringLiteral("windows-1250"));
    for (const QString& file : {plain, utf8, wide}) {
        SCOPED_TRACE(file.toStdString());
        list.LoadFromFile(file);
        EXPECT_EQ(list.GetDescription(QStringLiteral("Msg")), QString::fromUtf16(u"hlášení"));
        EXPECT_EQ(list.GetAsString(QStringLiteral("Msg")), "");
    }
    EXPECT_EQ(ErrorOf([&] { list.LoadFromFile(dir.filePath("missing.pub")); }).section(':', 0, 0), "EFOpenError");
}

// A file of 100,000 tags loads whole, and every tag is found by its name.
TEST(EpsnetTagList, LargeFileLoadsAndFindsEveryTag)
{
    constexpr int count = 100'000;
    QString text;
    for (int i = count - 1; i >= 0; --i)
        text += QStringLiteral("Tag%1 R W %2 INT ;value %1\r\n").arg(i, 6, 10, QLatin1Char('0')).arg(i % 65535);
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(text);
    TEpsnetTagListLock tags(list);
    ASSERT_EQ(tags->Count(), count);
    for (int i = 0; i < count; i += 997) {
        const TEPSNETTag* tag = tags->GetTagByName(QStringLiteral("Tag%1").arg(i, 6, 10, QLatin1Char('0')));
        ASSERT_NE(tag, nullptr);
        EXPECT_EQ(tag->Address(), i % 65535);
        EXPECT_NE(tag->DataPtr, nullptr);
    }
}

// Megabytes of garbage after good lines are left out with a bounded list of warnings; the good
// tags load.
TEST(EpsnetTagList, GarbageAfterGoodLinesKeepsThem)
{
    std::mt19937 random(12345);
    QByteArray garbage(4 * 1024 * 1024, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    const QString text = QStringLiteral("Good1 R W 0 INT\nGood2 X B 1 .3 BOOL\n") + QString::fromLatin1(garbage);

    TEpsnetThreadSafeTagList list;
    EXPECT_EQ(ErrorOf([&] { list.LoadFromString(text); }), "<no exception>");
    EXPECT_LE(list.LoadWarnings().size(), TEpsnetTagList::MaxLoadWarnings + 1);
    TEpsnetTagListLock tags(list);
    ASSERT_GE(tags->Count(), 2);
    EXPECT_EQ(tags->Items(0)->Name(), "Good1");
    EXPECT_EQ(tags->Items(1)->Name(), "Good2");
}
