#include "platform/CodePage.h"
#include <gtest/gtest.h>

// A Czech code page maps its letters to single bytes, writes "?" for what it lacks and leaves a
// genuine SUB control character alone.
TEST(CodePage, EncodesWithQuestionMarksForUnmappable)
{
    const TCodePage cp1250(QStringLiteral("windows-1250"));
    ASSERT_EQ(cp1250.Name(), QStringLiteral("windows-1250"));
    EXPECT_EQ(cp1250.Encode(QString::fromUtf8("ř€")), QByteArray("\xF8\x80"));
    EXPECT_EQ(cp1250.Encode(QString::fromUtf8("a中b")), QByteArray("a?b"));
    EXPECT_EQ(cp1250.Encode(QString::fromUtf8("x\x1Ay中")), QByteArray("x\x1Ay?"));
    EXPECT_EQ(cp1250.Decode(QByteArray("Dobr\xFD den")), QString::fromUtf8("Dobrý den"));
}

// UTF-8 passes every character; an unknown name falls back to the locale's charset.
TEST(CodePage, Utf8AndFallback)
{
    const TCodePage utf8(QStringLiteral("UTF-8"));
    EXPECT_TRUE(utf8.IsUtf8());
    EXPECT_EQ(utf8.Decode(utf8.Encode(QString::fromUtf8("Dobrý den 中"))), QString::fromUtf8("Dobrý den 中"));
    const TCodePage unknown(QStringLiteral("no-such-codepage"));
    EXPECT_EQ(unknown.Name(), TCodePage::LocaleCharset());
    EXPECT_FALSE(TCodePage::LocaleCharset().isEmpty());
}

// The process code page can be switched and the old page stays usable.
TEST(CodePage, ProcessWideSwitch)
{
    const TCodePage& before = AnsiCodePage();
    const QString beforeName = before.Name();
    SetAnsiCodePage(QStringLiteral("windows-1250"));
    EXPECT_EQ(ToAnsi(QString::fromUtf8("ř")), QByteArray("\xF8"));
    EXPECT_EQ(FromAnsi(QByteArray("\xF8")), QString::fromUtf8("ř"));
    EXPECT_EQ(before.Name(), beforeName);
    SetAnsiCodePage(beforeName);
    EXPECT_EQ(AnsiCodePage().Name(), beforeName);
}
