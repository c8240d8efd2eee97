#include "platform/IniFile.h"
#include "TestSupport.h"
#include <gtest/gtest.h>

using TestSupport::TTempDir;

// Keys and sections are found without regard to case, the first occurrence wins, values are
// trimmed and lose one pair of quotes, comments and garbage lines are skipped.
TEST(IniFile, ReadsWithPrivateProfileRules)
{
    TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("a.ini"),
                                "; comment\r\n"
                                "[Common]\r\n"
                                "  Timer = 200  \r\n"
                                "timer=300\r\n"
                                "Quoted=\"  spaced  \"\r\n"
                                "Single='x'\r\n"
                                "Lonely=\"open\r\n"
                                "no equals sign here\r\n"
                                "=orphan value\r\n"
                                ";Hidden=1\r\n"
                                "[common]\r\n"
                                "Later=1\r\n"
                                "[ TTS ]\r\n"
                                "SAY_EXE=/usr/bin/say = with equals\r\n"
                                "\x01\x02\xff garbage\r\n");
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadInteger("COMMON", "TIMER", 0), 200);
    EXPECT_EQ(ini.ReadString("common", "Quoted", ""), "  spaced  ");
    EXPECT_EQ(ini.ReadString("common", "single", ""), "x");
    EXPECT_EQ(ini.ReadString("common", "Lonely", ""), "\"open");
    EXPECT_EQ(ini.ReadString("common", "Hidden", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("common", "Later", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("tts", "say_exe", ""), "/usr/bin/say = with equals");
    EXPECT_TRUE(ini.SectionExists("Tts"));
    EXPECT_FALSE(ini.ValueExists("common", ""));
}

// Integers read as the runtime reads them; anything unreadable gives the default.
TEST(IniFile, IntegersAndBooleans)
{
    struct {
        const char* text;
        int expected;
    } cases[] = {
        {"42", 42}, {"-7", -7}, {"+5", 5}, {"$1F", 31}, {"0x1f", 31}, {"$FFFFFFFF", -1},
        {"12abc", -99}, {"", -99}, {"99999999999", -99}, {"0x", -99}, {"--1", -99}, {" 8 ", 8},
    };
    TTempDir dir;
    QByteArray body = "[n]\n";
    int i = 0;
    for (const auto& c : cases)
        body += "k" + QByteArray::number(i++) + "=" + c.text + "\n";
    body += "b0=0\nb1=1\nb2=7\nb3=yes\n";
    TestSupport::WriteFileBytes(dir.File("n.ini"), body);
    TIniFile ini(dir.File("n.ini"));
    i = 0;
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadInteger("n", "k" + QString::number(i++), -99), c.expected) << c.text;
    EXPECT_FALSE(ini.ReadBool("n", "b0", true));
    EXPECT_TRUE(ini.ReadBool("n", "b1", false));
    EXPECT_TRUE(ini.ReadBool("n", "b2", false));
    EXPECT_FALSE(ini.ReadBool("n", "b3", false)) << "a word is no integer and keeps the default";
    EXPECT_TRUE(ini.ReadBool("n", "missing", true));
}

// A missing file or an empty name reads as an empty file.
TEST(IniFile, MissingFileGivesDefaults)
{
    TIniFile missing("/nonexistent/dir/x.ini");
    EXPECT_EQ(missing.ReadString("a", "b", "d"), "d");
    TIniFile unnamed("");
    EXPECT_EQ(unnamed.ReadInteger("a", "b", 5), 5);
}

// A file at the size limit, all short keys in a few sections with repeats of each, is read whole
// (a reader that compares each key with all before it would take hours here); one byte more and
// nothing of it is read.
TEST(IniFile, AtItsSizeLimitIsReadWholeAndAboveItNotAtAll)
{
    TTempDir dir;
    QByteArray body;
    body.reserve(TIniFile::MaxFileSize);
    int keys = 0;
    while (body.size() < TIniFile::MaxFileSize - 64) {
        if (keys % 20000 == 0)
            body += "[s" + QByteArray::number(keys / 20000) + "]\n";
        body += "k" + QByteArray::number(keys) + "=" + QByteArray::number(keys) + "\nK" + QByteArray::number(keys) + "=repeat\n";
        ++keys;
    }
    body += "[S0]\nlast=end\n";
    body += QByteArray(TIniFile::MaxFileSize - body.size(), ';');
    ASSERT_EQ(body.size(), TIniFile::MaxFileSize);
    TestSupport::WriteFileBytes(dir.File("big.ini"), body);
    const TIniFile ini(dir.File("big.ini"));
    EXPECT_FALSE(ini.TooLarge());
    const int lastKey = keys - 1;
    EXPECT_EQ(ini.ReadInteger("s" + QString::number(lastKey / 20000), "K" + QString::number(lastKey), -1), lastKey);
    EXPECT_EQ(ini.ReadInteger("S0", "k0", -1), 0);
    EXPECT_EQ(ini.ReadString("s0", "last", "first section wins"), "first section wins");

    TestSupport::WriteFileBytes(dir.File("big.ini"), body + ";");
    const TIniFile tooLarge(dir.File("big.ini"));
    EXPECT_TRUE(tooLarge.TooLarge());
    EXPECT_EQ(tooLarge.ReadInteger("s0", "k0", -1), -1);
}
