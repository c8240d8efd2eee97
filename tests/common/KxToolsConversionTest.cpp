#include "common/kxtools.h"
#include <gtest/gtest.h>
#include <climits>
#include <cmath>

namespace {

TSimaticDateTime Record(std::initializer_list<std::uint8_t> bytes)
{
    TSimaticDateTime r;
    std::uint8_t* fields[] = {&r.Year, &r.Month, &r.Day, &r.Hour, &r.Minute, &r.Second, &r.msec, &r.ext};
    int i = 0;
    for (std::uint8_t b : bytes)
        *fields[i++] = b;
    return r;
}

QByteArray Bytes(const TSimaticDateTime& r) { return QByteArray(reinterpret_cast<const char*>(&r), sizeof r); }

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int msec = 0)
{
    return EncodeDateTime({year, month, day, hour, minute, second, msec});
}

QString ConvertError(const QString& text, const QString& separator)
{
    try {
        StrToFloat2(text, separator);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return QStringLiteral("<no error>");
}

} // namespace

// Fields split at ";": a trailing delimiter opens no field, and missing fields are empty.
TEST(KxToolsText, DelimitedFields)
{
    const struct {
        const char* text;
        int count;
    } counts[] = {{"a", 1}, {"a;b", 2}, {"a;b;", 2}, {"", 0}, {";", 1}, {";;", 2}, {"a;;b", 3}, {"abc", 1}};
    for (const auto& c : counts)
        EXPECT_EQ(SubStrCount(c.text, u';'), c.count) << c.text;

    const struct {
        const char* text;
        int index;
        const char* field;
    } fields[] = {
        {"a;b;c", 1, "b"}, {"a;b;c", 0, "a"}, {"a;b;c", 2, "c"}, {"a;b;", 2, ""}, {"a;b;", 1, "b"},
        {"a;b", 5, ""},    {"a;b", -1, ""},   {";b", 0, ""},     {"a;;c", 1, ""}, {"a;;c", 2, "c"},
        {"", 0, ""},       {"abc", 0, "abc"}, {"abc", 1, ""},    {"a;b", INT_MIN, ""},
    };
    for (const auto& f : fields)
        EXPECT_EQ(SubStrFromStr(f.text, u';', f.index), QString(f.field)) << f.text << " index " << f.index;
}

// Every byte value becomes two uppercase digits, the delimiter only between bytes.
TEST(KxToolsText, StringToHexAndSmallHelpers)
{
    EXPECT_EQ(StringToHex(QByteArray("\x01\xAB", 2), " "), "01 AB");
    EXPECT_EQ(StringToHex(QByteArray(), " "), "");
    EXPECT_EQ(StringToHex(QByteArray(1, '\0'), ", "), "00");
    EXPECT_EQ(StringToHex(QByteArray("\x80\x7F\xFF", 3), "-:"), "80-:7F-:FF");

    QByteArray all;
    QString expected;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
        expected += QStringLiteral("%1").arg(b, 2, 16, QChar(u'0')).toUpper();
    }
    EXPECT_EQ(StringToHex(all, ""), expected);

    EXPECT_EQ(ReplaceChar("a.b.c", u'.', u','), "a,b,c");
    EXPECT_EQ(ReplaceChar("", u'.', u','), "");
    EXPECT_EQ(BoolToStr(true, "low", "high"), "high");
    EXPECT_EQ(BoolToStr(false, "low", "high"), "low");
}

// "," and "." are both decimal points; the thousands separator is dropped, and when it is "."
// it swallows the decimal point made from ",".
TEST(KxToolsNumbers, StrToFloat2Values)
{
    const struct {
        const char* text;
        QString separator;
        double value;
    } cases[] = {
        {"1.2", "", 1.2},
        {"1,2", "", 1.2},
        {"-0,5", "", -0.5},
        {"+3", "", 3},
        {"   7", "", 7},
        {".5", "", 0.5},
        {"5.", "", 5},
        {"1e3", "", 1000},
        {"2,5E-2", "", 0.025},
        {"1e+308", "", 1e308},
        {"1e-400", "", 0},
        {"0e999999999999999999999", "", 0},
        {"1 000,2", " ", 1000.2},
        {"1'000'000,25", "'", 1000000.25},
        {"1\xC2\xA0" "000,2", QString(QChar(0xA0)), 1000.2},
        {"1.000,2", ".", 10002},
        {"1,2", ".", 12},
        {"12", ".", 12},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(StrToFloat2(QString::fromUtf8(c.text), c.separator), c.value) << c.text << " separator '" << c.separator.toStdString() << "'";

    EXPECT_TRUE(std::signbit(StrToFloat2("-1e-400", "")));

    const QString regional = RegionalThousandsSeparator();
    if (regional != u"," && regional != u".") {
        EXPECT_DOUBLE_EQ(StrToFloat2("1" + regional + "000,2"), 1000.2);
    }
}

// Anything that is not wholly a number raises EConvertError naming the prepared text and the
// 1-based position of the first unreadable character.
TEST(KxToolsNumbers, StrToFloat2Errors)
{
    const struct {
        const char* text;
        const char* separator;
        const char* message;
    } cases[] = {
        {"", "", " (1)"},
        {"abc", "", "abc (1)"},
        {"1.2.3", "", "1.2.3 (4)"},
        {"1,2,3", "", "1.2.3 (4)"},
        {"1,000.2", ",", "1.000.2 (6)"},
        {"12x", "", "12x (3)"},
        {"1 ", "", "1  (2)"},
        {"1 000", "", "1 000 (2)"},
        {"-", "", "- (2)"},
        {".", "", ". (2)"},
        {"-.e5", "", "-.e5 (3)"},
        {"1e", "", "1e (3)"},
        {"1e+", "", "1e+ (4)"},
        {"1e5.5", "", "1e5.5 (4)"},
        {"--1", "", "--1 (2)"},
        {"nan", "", "nan (1)"},
        {"inf", "", "inf (1)"},
        {"-Infinity", "", "-Infinity (2)"},
        {"0x10", "", "0x10 (2)"},
        {"1e999", "", "1e999 (1)"},
        {"-1e999", "", "-1e999 (1)"},
        {"  1e99999999999999999999", "", "  1e99999999999999999999 (3)"},
        {"\xD9\xA1", "", "\xD9\xA1 (1)"}, // an Arabic-Indic digit is no digit here
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConvertError(QString::fromUtf8(c.text), c.separator), QString::fromUtf8(c.message)) << c.text;

    EXPECT_EQ(ConvertError(QString::fromUtf8("1\0" "2", 3), ""), QString::fromUtf8("1\0" "2 (2)", 7));
    EXPECT_THROW(StrToFloat2("garbage"), EConvertError);
}

// BCD packs two digits per byte; above 99 the tens digit overflows and is cut to 8 bits.
TEST(KxToolsNumbers, BCDBothWays)
{
    const struct {
        std::uint8_t value, bcd;
    } toBcd[] = {{0, 0x00}, {9, 0x09}, {10, 0x10}, {42, 0x42}, {99, 0x99}, {100, 0xA0}, {123, 0xC3}, {255, 0x95}};
    for (const auto& c : toBcd)
        EXPECT_EQ(ByteToBCD(c.value), c.bcd) << int(c.value);

    const struct {
        std::uint8_t bcd, value;
    } fromBcd[] = {{0x00, 0}, {0x42, 42}, {0x99, 99}, {0x0A, 10}, {0xA0, 100}, {0xFF, 165}};
    for (const auto& c : fromBcd)
        EXPECT_EQ(BCDToByte(c.bcd), c.value) << int(c.bcd);

    for (int v = 0; v <= 99; ++v)
        EXPECT_EQ(BCDToByte(ByteToBCD(static_cast<std::uint8_t>(v))), v);
}

// Bit numbers read modulo 32; setting one outside 0-31 raises EMathError with its number.
TEST(KxToolsNumbers, BitsAndRange)
{
    EXPECT_TRUE(GetBit(1, 0));
    EXPECT_FALSE(GetBit(2, 0));
    EXPECT_TRUE(GetBit(1, 32));
    EXPECT_TRUE(GetBit(INT32_MIN, 31));
    EXPECT_TRUE(GetBit(INT32_MIN, -1));
    EXPECT_FALSE(GetBit(INT32_MAX, 31));

    EXPECT_EQ(SetBit(0, 31, true), INT32_MIN);
    EXPECT_EQ(SetBit(-1, 0, false), -2);
    EXPECT_EQ(SetBit(5, 1, true), 7);
    EXPECT_EQ(SetBit(5, 2, false), 1);
    EXPECT_EQ(_SetBit(0, 33, true), 2);

    for (int bit : {32, -1, INT_MIN}) {
        try {
            SetBit(5, bit, true);
            ADD_FAILURE() << "no error for bit " << bit;
        } catch (const EMathError& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("bit %1 is out of 32 bit Integer range").arg(bit));
            EXPECT_EQ(e.ClassName(), "EMathError");
        }
    }
}

// Field positions: centred, from the start, from the end, always inside the space.
TEST(KxToolsNumbers, SpecLocTable)
{
    const struct {
        int sp, len, dim, expected;
    } cases[] = {
        {-1, 3, 10, 8}, {0, 3, 10, 4}, {9, 3, 10, 8}, {0, 12, 10, 1}, {1, 3, 10, 1},     {100, 3, 10, 8},
        {-10, 3, 10, 1}, {-2, 3, 10, 7}, {0, 10, 10, 1}, {-1, 10, 10, 1}, {0, 4, 10, 4}, {0, 0, 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SpecLoc(c.sp, c.len, c.dim), c.expected) << c.sp << " " << c.len << " " << c.dim;
    // Extreme arguments are accepted without overflow.
    SpecLoc(INT_MIN, INT_MIN, INT_MAX);
    SpecLoc(INT_MAX, INT_MIN, INT_MAX);
    SpecLoc(0, INT_MIN, INT_MAX);
}

// SQL text keeps "-" between the time fields, "NULL" stands for 0, and both directions agree.
TEST(KxToolsDates, SQLStringsRoundTrip)
{
    EXPECT_EQ(DateTimeToSQLStr(0, false), "NULL");
    EXPECT_EQ(DateTimeToSQLStr(0, true), "NULL");
    EXPECT_EQ(DateTimeToSQLStr(At(2024, 2, 29, 13, 5, 9, 42), false), "\"2024-02-29 13-05-09\"");
    EXPECT_EQ(DateTimeToSQLStr(At(2024, 2, 29, 13, 5, 9, 42), true), "\"2024-02-29 13-05-09.042\"");

    const TDateTimeParts dates[] = {
        {2024, 2, 29, 13, 5, 9, 0}, {1999, 12, 31, 0, 0, 0, 0}, {1899, 12, 29, 6, 0, 0, 0}, {9999, 12, 31, 23, 59, 59, 0}, {1, 1, 1, 0, 0, 1, 0},
    };
    for (TDateTimeParts parts : dates) {
        const TDateTime whole = EncodeDateTime(parts);
        EXPECT_EQ(SQLStrToDateTime(DateTimeToSQLStr(whole, false)), whole) << DateTimeToSQLStr(whole, false).toStdString();
        parts.MSec = 123;
        const TDateTime withMSec = EncodeDateTime(parts);
        EXPECT_EQ(SQLStrToDateTime(DateTimeToSQLStr(withMSec, true)), withMSec) << DateTimeToSQLStr(withMSec, true).toStdString();
    }

    const struct {
        const char* text;
        TDateTime value;
    } accepted[] = {
        {"null", 0},
        {" NULL ", 0},
        {"\"null\"", 0},
        {"2024-02-29", At(2024, 2, 29)},
        {"\"2024-02-29 13-05-09\"", At(2024, 2, 29, 13, 5, 9)},
        {"2024-1-5 1-2-3", At(2024, 1, 5, 1, 2, 3)},
        {"2024-02-29   13-05-09.042", At(2024, 2, 29, 13, 5, 9, 42)},
    };
    for (const auto& c : accepted)
        EXPECT_EQ(SQLStrToDateTime(c.text), c.value) << c.text;

    const char* rejected[] = {
        "", "\"\"", "2024-02-30", "2023-02-29", "0000-01-01", "2024-13-01", "2024-02-29 24-00-00",
        "2024-02-29 13:05:09", "24-02-29", "2024-02-29 13-05", "2024-02-29 13-05-09.5", "2024-02-29 13-05-09.0420",
        "2024-02-29T13-05-09", "NULLX", "2024-02-29 13-05-09 x", "13-05-09", "2024-002-29", "+2024-02-29",
    };
    for (const char* text : rejected)
        EXPECT_THROW(SQLStrToDateTime(text), EConvertError) << text;

    try {
        SQLStrToDateTime("\"2024-02-30\"");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'2024-02-30' is not a valid date and time");
    }
}

// The UTC clock agrees with the platform's and is an OLE date.
TEST(KxToolsDates, NowUTCMatchesSystemClock)
{
    const TDateTime before = NowUTC();
    const TDateTime now = nowUTC();
    const TDateTime after = NowUTC();
    EXPECT_GE(now, before - 0.002 / 86400);
    EXPECT_LE(now, after + 0.002 / 86400);
    EXPECT_GT(now, At(2020, 1, 1));
}

// Packed PLC dates: the year rule, milliseconds from byte 6 and the high nibble of byte 7.
TEST(KxToolsDates, SimaticConversion)
{
    const struct {
        TSimaticDateTime record;
        TDateTime value;
    } cases[] = {
        {Record({0x24, 0x02, 0x29, 0x13, 0x05, 0x09, 0x04, 0x20}), At(2024, 2, 29, 13, 5, 9, 42)},
        {Record({0x99, 0x12, 0x31, 0x23, 0x59, 0x59, 0x99, 0x9F}), At(1999, 12, 31, 23, 59, 59, 999)},
        {Record({0x90, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}), At(1990, 1, 1)},
        {Record({0x89, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}), At(2089, 1, 1)},
        {Record({0x00, 0x02, 0x29, 0x00, 0x00, 0x00, 0x00, 0x0F}), At(2000, 2, 29)},
        {Record({0x96, 0x02, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00}), At(1996, 2, 29)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SimaticDateTimeToDateTime(c.record), c.value) << Bytes(c.record).toHex().toStdString();

    const TSimaticDateTime impossible[] = {
        Record({0, 0, 0, 0, 0, 0, 0, 0}),
        Record({0x23, 0x02, 0x29, 0, 0, 0, 0, 0}),
        Record({0x99, 0x02, 0x29, 0, 0, 0, 0, 0}),
        Record({0x24, 0x04, 0x31, 0, 0, 0, 0, 0}),
        Record({0x24, 0x01, 0x01, 0x24, 0, 0, 0, 0}),
        Record({0x24, 0x01, 0x01, 0, 0, 0, 0x99, 0xA0}),
    };
    for (const auto& r : impossible)
        EXPECT_THROW(SimaticDateTimeToDateTime(r), EConvertError) << Bytes(r).toHex().toStdString();
}

// A record that does not convert is clamped field by field, the year byte untouched, and then
// converts.
TEST(KxToolsDates, SimaticRepair)
{
    const struct {
        TSimaticDateTime before;
        bool valid;
        TSimaticDateTime after;
    } cases[] = {
        {Record({0, 0, 0, 0, 0, 0, 0, 0}), false, Record({0x00, 0x01, 0x01, 0, 0, 0, 0, 0})},
        {Record({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), false, Record({0xFF, 0x12, 0x31, 0x23, 0x59, 0x59, 0x99, 0x9F})},
        {Record({0x23, 0x02, 0x29, 0, 0, 0, 0, 0}), false, Record({0x23, 0x02, 0x28, 0, 0, 0, 0, 0})},
        {Record({0x24, 0x02, 0x30, 0, 0, 0, 0, 0}), false, Record({0x24, 0x02, 0x29, 0, 0, 0, 0, 0})},
        {Record({0x00, 0x02, 0x31, 0, 0, 0, 0, 0}), false, Record({0x00, 0x02, 0x29, 0, 0, 0, 0, 0})},
        {Record({0x96, 0x02, 0x31, 0, 0, 0, 0, 0}), false, Record({0x96, 0x02, 0x29, 0, 0, 0, 0, 0})},
        {Record({0x99, 0x02, 0x29, 0, 0, 0, 0, 0}), false, Record({0x99, 0x02, 0x28, 0, 0, 0, 0, 0})},
        {Record({0x24, 0x04, 0x31, 0, 0, 0, 0, 0}), false, Record({0x24, 0x04, 0x30, 0, 0, 0, 0, 0})},
        {Record({0x24, 0x13, 0x31, 0, 0, 0, 0, 0}), false, Record({0x24, 0x12, 0x31, 0, 0, 0, 0, 0})},
        {Record({0x24, 0x01, 0x01, 0x00, 0x60, 0x00, 0x00, 0x00}), false, Record({0x24, 0x01, 0x01, 0x00, 0x59, 0x00, 0x00, 0x00})},
        {Record({0x24, 0x01, 0x01, 0, 0, 0, 0x99, 0xA5}), false, Record({0x24, 0x01, 0x01, 0, 0, 0, 0x99, 0x95})},
        {Record({0x24, 0x01, 0x01, 0, 0, 0, 0x00, 0xA5}), true, Record({0x24, 0x01, 0x01, 0, 0, 0, 0x00, 0xA5})},
        {Record({0x24, 0x02, 0x29, 0x13, 0x05, 0x09, 0x04, 0x20}), true, Record({0x24, 0x02, 0x29, 0x13, 0x05, 0x09, 0x04, 0x20})},
    };
    for (const auto& c : cases) {
        TSimaticDateTime record = c.before;
        EXPECT_EQ(CheckSimaticDateTime(record), c.valid) << Bytes(c.before).toHex().toStdString();
        EXPECT_EQ(Bytes(record).toHex(), Bytes(c.after).toHex());
        EXPECT_NO_THROW(SimaticDateTimeToDateTime(record)) << Bytes(record).toHex().toStdString();
    }

    TSimaticDateTime ff = Record({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    CheckSimaticDateTime(ff);
    EXPECT_EQ(SimaticDateTimeToDateTime(ff), At(2065, 12, 31, 23, 59, 59, 999));
}
