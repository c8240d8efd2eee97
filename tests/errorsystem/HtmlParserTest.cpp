#include "errorsystem/HTMLParser.h"
#include <gtest/gtest.h>

namespace {

// Every tag text the parser finds, in order.
QStringList TagTexts(const QString& text)
{
    THtmlParser parser(text);
    QStringList tags;
    while (parser.NextTag())
        tags.append(parser.GetTag()->Text().toString());
    return tags;
}

} // namespace

TEST(HtmlParserTest, FindsTagsInOrderAndStopsAtTheEnd)
{
    EXPECT_EQ(TagTexts("x<A>y<b c='1'/>z"), QStringList({"A", "b c='1'/"}));
    EXPECT_TRUE(TagTexts("").isEmpty());
    EXPECT_TRUE(TagTexts("no tags at all").isEmpty());
    // A "<" without a ">" after it is no tag.
    EXPECT_EQ(TagTexts("<A><B"), QStringList({"A"}));

    THtmlParser parser("<A>");
    EXPECT_TRUE(parser.NextTag());
    EXPECT_FALSE(parser.NextTag());
    EXPECT_EQ(parser.GetTag(), nullptr);
    EXPECT_FALSE(parser.NextTag());
    parser.GotoBeginning();
    EXPECT_EQ(parser.Position(), 0);
    EXPECT_TRUE(parser.NextTag());
    EXPECT_EQ(parser.Position(), 1);
}

// Quotes do not protect angle brackets: ">" ends the tag, "<" starts another one.
TEST(HtmlParserTest, QuotesDoNotProtectAngleBrackets)
{
    EXPECT_EQ(TagTexts("<T TEXT=\"a>b\" />"), QStringList({"T TEXT=\"a"}));
    EXPECT_EQ(TagTexts("<T TEXT=\"a<b\" />"), QStringList({"T TEXT=\"a<b\" /", "b\" /"}));
}

TEST(HtmlParserTest, NamesAreUpperCasedAndEndAtTheFirstBlank)
{
    THtmlParser parser("<newErrorText ERRORCODE=\"1\"><clearalltext/><čáp>");
    ASSERT_TRUE(parser.NextTag());
    EXPECT_EQ(parser.GetTag()->GetName(), "NEWERRORTEXT");
    ASSERT_TRUE(parser.NextTag());
    EXPECT_EQ(parser.GetTag()->GetName(), "CLEARALLTEXT/");
    EXPECT_EQ(parser.GetTag()->Params().Count(), 0);
    ASSERT_TRUE(parser.NextTag());
    // Only ASCII letters change.
    EXPECT_EQ(parser.GetTag()->GetName(), "čáP");
}

TEST(HtmlParserTest, ParameterSplittingFollowsBothQuoteKinds)
{
    EXPECT_EQ(SplitTagParams(u"ERRORCODE=\"12\" TEXT='a b' /"), QStringList({"ERRORCODE=\"12\"", "TEXT='a b'", "/"}));
    // Each kind of quote is plain text inside the other.
    EXPECT_EQ(SplitTagParams(u"A=\"it's\" B='say \"hi\"'"), QStringList({"A=\"it's\"", "B='say \"hi\"'"}));
    // A closing quote ends the piece even without a blank after it.
    EXPECT_EQ(SplitTagParams(u"A=\"1\"B=\"2\""), QStringList({"A=\"1\"", "B=\"2\""}));
    // Runs of blanks and control characters give no empty pieces; an open quote runs to the end.
    EXPECT_EQ(SplitTagParams(u"  A=1 \t  B=\"open end"), QStringList({"A=1", "B=\"open end"}));
    EXPECT_TRUE(SplitTagParams(u"").isEmpty());
}

TEST(HtmlParserTest, RawValuesMatchNamesWithoutRegardToCase)
{
    THtmlParser parser("<T VALUE text=\"a=b\" TEXT=\"second\" Žluť=1 >");
    ASSERT_TRUE(parser.NextTag());
    const TParams& params = parser.GetTag()->Params();
    EXPECT_EQ(params.Count(), 4);
    EXPECT_EQ(params.Strings(2), "TEXT=\"second\"");
    EXPECT_EQ(params.RawValue(u"TEXT"), "\"a=b\"");
    EXPECT_EQ(params.RawValue(u"žLUŤ"), "1");
    // A piece without "=" has no name.
    EXPECT_EQ(params.RawValue(u"VALUE"), "");
    EXPECT_EQ(params.RawValue(u"MISSING"), "");
}

// Long runs without ">" or blanks and many nested starts stay cheap; the answers are the same.
TEST(HtmlParserTest, LargeInputsStayLinear)
{
    const QString opens(4 * 1024 * 1024, u'<');
    EXPECT_TRUE(TagTexts(opens).isEmpty());
    THtmlParser parser(opens + ">");
    int tags = 0;
    while (parser.NextTag())
        ++tags;
    EXPECT_EQ(tags, opens.size());
}

// Tags that end at the same ">" share their pieces; each still sees exactly its own parameters.
TEST(HtmlParserTest, NestedTagsSeeTheirOwnParameters)
{
    const QString text = "<A x=\"<B y='1' \"<C z=\"2\" /> after";
    THtmlParser parser(text);
    QList<QStringList> params;
    while (parser.NextTag())
        params.append(parser.GetTag()->Params().List());
    ASSERT_EQ(params.size(), 3);
    for (qsizetype i = 0; i < params.size(); ++i) {
        THtmlParser single(text);
        for (qsizetype k = 0; k <= i; ++k)
            single.NextTag();
        const QStringView own = single.GetTag()->Text();
        EXPECT_EQ(params[i], SplitTagParams(own.mid(own.indexOf(u' ') + 1)));
    }
    EXPECT_EQ(params[2], QStringList({"z=\"2\"", "/"}));
}

// Many nested tags of a known name before one ">" (a few MiB) are read in one pass.
TEST(HtmlParserTest, ManyNestedTagsBeforeOneCloseStayLinear)
{
    for (const QString& unit : {QStringLiteral("<RESPECTECODES "), QStringLiteral("<A \"")}) {
        THtmlParser parser(unit.repeated(200000) + ">");
        int tags = 0;
        while (parser.NextTag()) {
            EXPECT_EQ(parser.GetTag()->Params().RawValue(u"VALUE"), "");
            ++tags;
        }
        EXPECT_EQ(tags, 200000);
    }
}
