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
