#include "EpsnetTestSupport.h"
#include "epsnet/kxEPSNET_tags.h"
#include <gtest/gtest.h>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

// A tag parsed from a line and pointed into an image of its own, which the test fills.
struct TTagOnImage {
    explicit TTagOnImage(const QString& line)
    {
        tag.ParseLine(line);
        tag.DataPtr = &ram;
    }
    void Put(int address, const QByteArray& bytes)
    {
        for (int i = 0; i < bytes.size(); ++i)
            ram.ram[static_cast<std::size_t>(address + i)] = static_cast<std::uint8_t>(bytes[i]);
    }
    template <typename T> void PutValue(int address, T value)
    {
        QByteArray bytes(sizeof(T), '\0');
        std::memcpy(bytes.data(), &value, sizeof(T)); // the machine is little-endian, like the PLC
        Put(address, bytes);
    }

    TEPSNETRam ram;
    TEPSNETTag tag;
};

struct TParsedLine {
    const char* line;
    const char* name;
    TEPSNETArea area;
    int address;
    int bit;
    TEPSNETDataType type;
    int size;
    const char* description;
};

} // namespace

// Each well-formed line fills name, area, address, bit, type, size and description.
TEST(EpsnetTags, ParseLineFillsTheTag)
{
    const TParsedLine lines[] = {
        {"Pump R B 10 .2 BOOL ;pump on", "Pump", _epsnet_r, 10, 2, _epsdt_Bit, 1, "pump on"},
        {"Temp R B 120 REAL ;boiler", "Temp", _epsnet_r, 120, 0, _epsdt_Real, 4, "boiler"},
        {"Msg R B 200 STRING[40] ;text for the speaker", "Msg", _epsnet_r, 200, 0, _epsdt_String, 41, "text for the speaker"},
        {"Mode R B 7 MYENUM", "Mode", _epsnet_r, 7, 0, _epsdt_Enum, 1, ""},
        {"Pump R B 10 bool", "Pump", _epsnet_r, 10, 0, _epsdt_Enum, 1, ""},
        {"Cnt X W 4 UDINT", "Cnt", _epsnet_x, 4, 0, _epsdt_UDINT, 4, ""},
        {"Lr Y D 8 LREAL extra words ; two ; parts ", "Lr", _epsnet_y, 8, 0, _epsdt_LReal, 8, "two ; parts"},
        {"  St S W 16 DT\t", "St", _epsnet_s, 16, 0, _epsdt_DT, 8, ""},
        // The description starts at the first ";", so a type word written against it stays the type.
        {"Lamp R B 3 .7 BOOL;lamp", "Lamp", _epsnet_r, 3, 7, _epsdt_Bit, 1, "lamp"},
        {"Big R W 0 STRING[65535]", "Big", _epsnet_r, 0, 0, _epsdt_String, 65536, ""},
        {"Far R W 70000 INT", "Far", _epsnet_r, 70000, 0, _epsdt_Int, 2, ""},
        {"Area RX W -5 SINT", "Area", _epsnet_r, -5, 0, _epsdt_SInt, 1, ""},
    };
    for (const TParsedLine& expected : lines) {
        SCOPED_TRACE(expected.line);
        TEPSNETTag tag;
        ASSERT_TRUE(tag.ParseLine(QString::fromUtf8(expected.line)));
        EXPECT_EQ(tag.Name(), QString::fromUtf8(expected.name));
        EXPECT_EQ(tag.Area(), expected.area);
        EXPECT_EQ(tag.Address(), expected.address);
        EXPECT_EQ(tag.Bit(), expected.bit);
        EXPECT_EQ(tag.DataType(), expected.type);
        EXPECT_EQ(tag.Size(), expected.size);
        EXPECT_EQ(tag.Description(), QString::fromUtf8(expected.description));
    }
}

// Malformed lines raise the exception of their fault; the parse that does not raise rejects them too.
TEST(EpsnetTags, ParseLineRejectsMalformedLines)
{
    const struct {
        const char* line;
        const char* error;
    } lines[] = {
        {"Pump  R B 10 .2 BOOL", "EEPSNETException: Wrong line format:Pump  R B 10 .2 BOOL"},
        {"Pump R B 10", "EEPSNETException: Wrong line format:Pump R B 10"},
        {"Pump R B 10  BOOL", "EEPSNETException: Wrong line format:Pump R B 10  BOOL"},
        {"Pump\tR\tB\t10\tBOOL", "EEPSNETException: Wrong line format:Pump\tR\tB\t10\tBOOL"},
        {"Pump", "EEPSNETException: Wrong line format:Pump"},
        {"Mode R W 7 MYENUM", "EEPSNETException: Unsupported datatype \"MYENUM\""},
        {"Mode R W 7", "EEPSNETException: Unsupported datatype \"\""},
        {"x1 r B 0 BOOL", "EEPSNETException: Unknown PLC area \"r\""},
        {"x1 D B 0 BOOL", "EEPSNETException: Unknown PLC area \"D\""},
        {"Pump R B", "EConvertError: '' is not a valid integer value"},
        {"Pump R B 1O BOOL", "EConvertError: '1O' is not a valid integer value"},
        {"Pump R B 4294967296 BOOL", "EConvertError: '4294967296' is not a valid integer value"},
        {"Pump R B 10 .x BOOL", "EConvertError: 'x' is not a valid integer value"},
        {"Msg R B 0 STRING[4O]", "EConvertError: '4O' is not a valid integer value"},
        {"Msg R B 0 STRING", "EConvertError: '' is not a valid integer value"},
        {"Msg R B 0 STRING[99999999999]", "EConvertError: '99999999999' is not a valid integer value"},
        {"Msg R B 0 STRING[2147483647]", "EEPSNETException: Unsupported datatype \"STRING[2147483647]\""},
        {"Msg R B 0 STRING[65536]", "EEPSNETException: Unsupported datatype \"STRING[65536]\""},
        {"Msg R B 0 STRING[-2]", "EEPSNETException: Unsupported datatype \"STRING[-2]\""},
    };
    for (const auto& entry : lines) {
        SCOPED_TRACE(entry.line);
        TEPSNETTag tag;
        EXPECT_EQ(ErrorOf([&] { tag.ParseLine(QString::fromUtf8(entry.line)); }), QString::fromUtf8(entry.error));
        // The loader past its kept warnings asks for no text.
        EXPECT_FALSE(TEPSNETTag().TryParseLine(QString::fromUtf8(entry.line), nullptr));
    }
}

// A garbage line megabytes long is quoted only in part, so the log stays readable.
TEST(EpsnetTags, LongLinesAreQuotedShortened)
{
    const QString line = QStringLiteral("A") + QString(1'000'000, u'x');
    TEPSNETTag tag;
    const QString error = ErrorOf([&] { tag.ParseLine(line); });
    EXPECT_TRUE(error.startsWith("EEPSNETException: Wrong line format:Axxx"));
    EXPECT_TRUE(error.endsWith("..."));
    EXPECT_LT(error.size(), 400);
}

// Trimming removes white space and control characters at both ends; a tag line starts with an
// ASCII letter.
TEST(EpsnetTags, TagLinesAndTrimming)
{
    EXPECT_EQ(TrimPubLine(u"\t \x00A0\x0001Pump R B 1 INT \r\x0085\xFEFF"), "Pump R B 1 INT");
    EXPECT_EQ(TrimPubLine(u"\xFEFFPump"), "Pump");
    for (const char16_t* line : {u"Pump", u"z", u"A1"})
        EXPECT_TRUE(IsTagLine(line));
    for (const char16_t* line : {u"", u"1Pump R B 0 INT", u"_x R B 0 INT", u";comment", u"\x010CPump R B 0 INT", u"[Section]"})
        EXPECT_FALSE(IsTagLine(line));
}

// The type words, their sizes and their names back.
TEST(EpsnetTags, TypeWords)
{
    const struct {
        const char16_t* word;
        TEPSNETDataType type;
        int size;
        const char16_t* name;
    } words[] = {
        {u"BOOL", _epsdt_Bit, 1, u"BOOL"},     {u"SINT", _epsdt_SInt, 1, u"SINT"},
        {u"USINT", _epsdt_USInt, 1, u"USINT"}, {u"BYTE", _epsdt_USInt, 1, u"USINT"},
        {u"INT", _epsdt_Int, 2, u"INT"},       {u"UINT", _epsdt_UInt, 2, u"UINT"},
        {u"DINT", _epsdt_DInt, 4, u"DINT"},    {u"UDINT", _epsdt_UDINT, 4, u"UDINT"},
        {u"REAL", _epsdt_Real, 4, u"REAL"},    {u"LREAL", _epsdt_LReal, 8, u"LREAL"},
        {u"TIME", _epsdt_Time, 4, u"TIME"},    {u"DT", _epsdt_DT, 8, u"DT"},
        {u"STRING[0]", _epsdt_String, 1, u"STRING"}, {u"STRING[12", _epsdt_String, 13, u"STRING"},
        {u"STRINGS[3]x", _epsdt_String, 4, u"STRING"}, {u"Int", _epsdt_Enum, 1, u"unchanged"},
    };
    for (const auto& entry : words) {
        SCOPED_TRACE(QString::fromUtf16(entry.word).toStdString());
        std::int32_t size = -1;
        EXPECT_EQ(StringToEpsnetType(QString::fromUtf16(entry.word), QStringLiteral("B"), size), entry.type);
        EXPECT_EQ(size, entry.size);
        QString text = QStringLiteral("unchanged");
        EpsnetDataTypeToString(entry.type, text);
        EXPECT_EQ(text, QString::fromUtf16(entry.name));
    }
    QString text = QStringLiteral("kept");
    EpsnetDataTypeToString(static_cast<TEPSNETDataType>(13), text);
    EXPECT_EQ(text, "kept");
}

// Until the list assigns the image every getter gives its "not assigned" value.
TEST(EpsnetTags, UnassignedTagReadsDefaults)
{
    TEPSNETTag tag;
    tag.ParseLine(QStringLiteral("Cnt R W 0 DINT"));
    EXPECT_FALSE(tag.GetAsBool());
    EXPECT_EQ(tag.GetAsInteger(), 0);
    EXPECT_TRUE(std::isnan(tag.GetAsFloat()));
    EXPECT_EQ(tag.GetAsDateTime(), 0);
    EXPECT_EQ(tag.GetAsString(), "DataPtr is not assigned");
}

// Integer types read their bytes little-endian, signed or unsigned as the type says.
TEST(EpsnetTags, IntegerTypesOverImageBytes)
{
    const struct {
        const char* line;
        QByteArray bytes;
        int integer;
    } cases[] = {
        {"V R W 10 SINT", Bytes({0xFE}), -2},
        {"V R W 10 USINT", Bytes({0xFE}), 254},
        {"V R W 10 BYTE", Bytes({0x80}), 128},
        {"V R B 10 MYENUM", Bytes({0xC8}), 200},
        {"V R W 10 INT", Bytes({0x18, 0xFC}), -1000},
        {"V R W 10 UINT", Bytes({0x18, 0xFC}), 64536},
        {"V R W 10 DINT", Bytes({0x78, 0x56, 0x34, 0x12}), 0x12345678},
        {"Cnt R B 10 UDINT", Bytes({0xFF, 0xFF, 0xFF, 0xFF}), -1},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        TTagOnImage t(QString::fromUtf8(entry.line));
        t.Put(9, Bytes({0x55}));
        t.Put(10, entry.bytes);
        t.Put(10 + static_cast<int>(entry.bytes.size()), Bytes({0x66}));
        EXPECT_EQ(t.tag.GetAsInteger(), entry.integer);
        EXPECT_EQ(t.tag.GetAsString(), QString::number(entry.integer));
        EXPECT_FALSE(t.tag.GetAsBool());
        EXPECT_TRUE(std::isnan(t.tag.GetAsFloat()));
        EXPECT_EQ(t.tag.GetAsDateTime(), 0);
    }
}

// A bit tag reads its own bit of the byte, as a boolean, a number and a digit.
TEST(EpsnetTags, BitTagOverImageBytes)
{
    TTagOnImage t(QStringLiteral("Pump R B 10 .2 BOOL"));
    t.Put(10, Bytes({0xFB}));
    EXPECT_FALSE(t.tag.GetAsBool());
    EXPECT_EQ(t.tag.GetAsFloat(), 0.0);
    EXPECT_EQ(t.tag.GetAsString(), "0");
    t.Put(10, Bytes({0x04}));
    EXPECT_TRUE(t.tag.GetAsBool());
    EXPECT_EQ(t.tag.GetAsInteger(), 1);
    EXPECT_EQ(t.tag.GetAsFloat(), 1.0);
    EXPECT_EQ(t.tag.GetAsString(), "1");
    EXPECT_EQ(t.tag.GetAsDateTime(), 0);

    TTagOnImage high(QStringLiteral("High R B 10 .9 BOOL"));
    high.Put(10, Bytes({0xFF}));
    EXPECT_FALSE(high.tag.GetAsBool());
}

// Floats read as IEEE numbers, print in the general form and round halves to even.
TEST(EpsnetTags, FloatTypesOverImageBytes)
{
    TTagOnImage real(QStringLiteral("Temp R B 120 REAL"));
    real.PutValue(120, 2.5f);
    EXPECT_EQ(real.tag.GetAsFloat(), 2.5);
    EXPECT_EQ(real.tag.GetAsInteger(), 2);
    EXPECT_TRUE(real.tag.GetAsBool());
    EXPECT_EQ(real.tag.GetAsString(), "2.5");
    EXPECT_EQ(real.tag.GetAsDateTime(), 0);
    real.PutValue(120, 0.1f);
    EXPECT_EQ(real.tag.GetAsString(), "0.100000001490116");
    real.PutValue(120, -3.5f);
    EXPECT_EQ(real.tag.GetAsInteger(), -4);
    EXPECT_FALSE(real.tag.GetAsBool());

    TTagOnImage lreal(QStringLiteral("L R W 0 LREAL"));
    const struct {
        double value;
        const char* text;
    } texts[] = {{1e20, "1E20"},       {1e15, "1E15"}, {123456789012345.0, "123456789012345"},
                 {1e-5, "1E-5"},       {0.0001, "0.0001"}, {-1.25e-7, "-1.25E-7"},
                 {-0.0, "0"},          {100.0, "100"}, {std::nan(""), "NAN"},
                 {-INFINITY, "-INF"},  {1.0 / 3.0, "0.333333333333333"}};
    for (const auto& entry : texts) {
        lreal.PutValue(0, entry.value);
        EXPECT_EQ(lreal.tag.GetAsString(), entry.text);
    }
    lreal.PutValue(0, 3e9);
    EXPECT_EQ(ErrorOf([&] { lreal.tag.GetAsInteger(); }), "EMathError: Invalid floating point operation");
    lreal.PutValue(0, std::nan(""));
    EXPECT_EQ(ErrorOf([&] { lreal.tag.GetAsInteger(); }), "EMathError: Invalid floating point operation");
    EXPECT_FALSE(lreal.tag.GetAsBool());
}

// A custom pattern gives the decimals of a float: "0" always shown, "#" when not zero.
TEST(EpsnetTags, FloatCustomFormat)
{
    TTagOnImage t(QStringLiteral("L R W 0 LREAL"));
    t.PutValue(0, 3.14159);
    t.tag.SetCustomFormat(QStringLiteral("0.00"));
    EXPECT_EQ(t.tag.GetAsString(), "3.14");
    t.tag.SetCustomFormat(QStringLiteral("0"));
    EXPECT_EQ(t.tag.GetAsString(), "3");
    t.PutValue(0, 2.5);
    t.tag.SetCustomFormat(QStringLiteral("0.0##"));
    EXPECT_EQ(t.tag.GetAsString(), "2.5");
    t.PutValue(0, -0.001);
    t.tag.SetCustomFormat(QStringLiteral("0.00"));
    EXPECT_EQ(t.tag.GetAsString(), "0.00");
}

// A DT value is seconds since 1970 as a double; the date is an automation date.
TEST(EpsnetTags, DateTimeOverImageBytes)
{
    TTagOnImage t(QStringLiteral("When R W 8 DT"));
    t.PutValue(8, 86400.0);
    EXPECT_EQ(t.tag.GetAsDateTime(), EncodeDate(1970, 1, 2));
    EXPECT_EQ(t.tag.GetAsInteger(), 25570);
    EXPECT_EQ(t.tag.GetAsString(), FormatRegionalDateTime(EncodeDate(1970, 1, 2)));
    EXPECT_FALSE(t.tag.GetAsBool());
    EXPECT_TRUE(std::isnan(t.tag.GetAsFloat()));

    t.PutValue(8, 86400.0 + 12 * 3600);
    t.tag.SetCustomFormat(QStringLiteral("yyyy-mm-dd hh:nn"));
    EXPECT_EQ(t.tag.GetAsString(), "1970-01-02 12:00");
    EXPECT_EQ(t.tag.GetAsInteger(), 25570); // 25570.5: the half goes to the even day
    t.PutValue(8, 3 * 86400.0 + 12 * 3600);
    EXPECT_EQ(t.tag.GetAsInteger(), 25572);

    t.PutValue(8, 1e300);
    EXPECT_EQ(ErrorOf([&] { t.tag.GetAsString(); }).section(':', 0, 0), "EConvertError");
    EXPECT_EQ(ErrorOf([&] { t.tag.GetAsInteger(); }), "EMathError: Invalid floating point operation");
}

// A TIME value is not converted.
TEST(EpsnetTags, TimeIsNotConverted)
{
    TTagOnImage t(QStringLiteral("T R W 0 TIME"));
    t.Put(0, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(t.tag.GetAsString(), "Unssuported datatype");
    EXPECT_EQ(t.tag.GetAsInteger(), 0);
    EXPECT_FALSE(t.tag.GetAsBool());
    EXPECT_TRUE(std::isnan(t.tag.GetAsFloat()));
}

// A STRING ends at its zero byte, after its declared size or at the end of the image.
TEST(EpsnetTags, StringEndsAtZeroSizeOrImageEnd)
{
    TTagOnImage t(QStringLiteral("Msg R B 200 STRING[4] ;text"));
    t.Put(200, Chars("ab\0cdef"));
    EXPECT_EQ(t.tag.GetAsString(), "ab");
    t.Put(200, "abcdefg");
    EXPECT_EQ(t.tag.GetAsString(), "abcde");
    t.Put(200, Chars("123\0"));
    EXPECT_EQ(t.tag.GetAsInteger(), 123);
    t.Put(200, Chars("12x\0"));
    EXPECT_EQ(ErrorOf([&] { t.tag.GetAsInteger(); }), "EConvertError: '12x' is not a valid integer value");
    EXPECT_FALSE(t.tag.GetAsBool());
    EXPECT_TRUE(std::isnan(t.tag.GetAsFloat()));

    TTagOnImage atEnd(QStringLiteral("End R B 65533 STRING[40]"));
    atEnd.Put(65533, "xyz");
    EXPECT_EQ(atEnd.tag.GetAsString(), "xyz");
    TTagOnImage beyond(QStringLiteral("Far R B 65536 STRING[40]"));
    beyond.ram.ram.fill('a');
    EXPECT_EQ(beyond.tag.GetAsString(), "");
    TTagOnImage before(QStringLiteral("Before R B -1 STRING[4]"));
    before.ram.ram.fill('a');
    EXPECT_EQ(before.tag.GetAsString(), "");
}

// The PLC's code page turns the STRING bytes into text.
TEST(EpsnetTags, StringUsesThePlcCodePage)
{
    TTagOnImage t(QStringLiteral("Msg R B 0 STRING[10]"));
    t.Put(0, Bytes({0x8A, 0x9A, 0xE8, 0x00}));
    const TCodePage czech(QStringLiteral("windows-1250"));
    t.tag.SetCodePage(&czech);
    EXPECT_EQ(t.tag.GetAsString(), QString::fromUtf16(u"Ššč"));
    t.tag.SetCodePage(nullptr);
    EXPECT_EQ(t.tag.GetAsString(), AnsiCodePage().Decode(Bytes({0x8A, 0x9A, 0xE8})));
}

// Bytes beyond the 64 KiB image read as zero: a value half inside keeps its inside bytes.
TEST(EpsnetTags, TagsPastTheImageReadZeroBeyondIt)
{
    TTagOnImage edge(QStringLiteral("Edge R W 65534 DINT"));
    edge.ram.ram.fill(0xEE);
    edge.Put(65534, Bytes({0x34, 0x12}));
    EXPECT_EQ(edge.tag.GetAsInteger(), 0x1234);

    TTagOnImage far(QStringLiteral("Far R W 70000 LREAL"));
    far.ram.ram.fill(0xEE);
    EXPECT_EQ(far.tag.GetAsFloat(), 0.0);
    TTagOnImage below(QStringLiteral("Below R W -2 DINT"));
    below.ram.ram.fill(0);
    below.Put(0, Bytes({0x01, 0x02, 0x03}));
    EXPECT_EQ(below.tag.GetAsInteger(), 0x02010000);
}

// SetAsBool changes a Bit tag's bit in the local image; every other setter changes nothing.
TEST(EpsnetTags, SettersChangeOnlyTheLocalBit)
{
    TTagOnImage bit(QStringLiteral("Pump R B 10 .2 BOOL"));
    bit.Put(10, Bytes({0x81}));
    bit.tag.SetAsBool(true);
    EXPECT_EQ(bit.ram.ram[10], 0x85);
    bit.tag.SetAsBool(false);
    EXPECT_EQ(bit.ram.ram[10], 0x81);

    TTagOnImage number(QStringLiteral("N R W 10 DINT"));
    number.Put(10, Bytes({1, 2, 3, 4}));
    number.tag.SetAsBool(true);
    number.tag.SetAsInteger(7);
    number.tag.SetAsFloat(7.5);
    number.tag.SetAsDateTime(1.0);
    number.tag.SetAsString(QStringLiteral("x"));
    EXPECT_EQ(number.tag.GetAsInteger(), 0x04030201);

    TTagOnImage far(QStringLiteral("Far R B 70000 .0 BOOL"));
    far.tag.SetAsBool(true);
    EXPECT_FALSE(far.tag.GetAsBool());
}

// Integers as the runtime reads them: blanks before, a sign, decimal digits, 32 bits.
TEST(EpsnetTags, DecimalStrToInt)
{
    EXPECT_EQ(DecimalStrToInt(u"  -2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(DecimalStrToInt(u"+2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(DecimalStrToInt(u"007"), 7);
    for (const char16_t* bad : {u"", u"-", u"2147483648", u"-2147483649", u"12 ", u"0x10", u"$10", u"1.0", u"\x0661"})
        EXPECT_EQ(ErrorOf([&] { DecimalStrToInt(bad); }).section(':', 0, 0), "EConvertError") << QString::fromUtf16(bad).toStdString();
}
