#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include <gtest/gtest.h>
#include <cmath>

// OLE dates count days from 1899-12-30 and encode/decode every field exactly, also before 1900.
TEST(DateTime, EncodeDecodeRoundTrip)
{
    EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDate(1970, 1, 1), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDate(2000, 2, 29), 36585.0);
    const TDateTimeParts samples[] = {
        {2012, 12, 22, 14, 5, 33, 0}, {2065, 12, 31, 23, 59, 59, 999}, {1900, 2, 28, 0, 0, 0, 1},
        {1899, 12, 29, 12, 0, 0, 0}, {2024, 2, 29, 6, 7, 8, 9},
    };
    for (const TDateTimeParts& p : samples) {
        const TDateTimeParts d = DecodeDateTime(EncodeDateTime(p));
        EXPECT_EQ(std::tie(d.Year, d.Month, d.Day, d.Hour, d.Minute, d.Second, d.MSec),
                  std::tie(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MSec));
    }
    EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
}

// The system clock converts both ways, local and UTC.
TEST(DateTime, ClockConversions)
{
    const std::int64_t ms = 1'700'000'000'123;
    EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(ms, false), false), ms);
    EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(ms, true), true), ms);
    EXPECT_LT(std::fabs(NowUTC() - UnixMsToDateTime(DateTimeToUnixMs(Now(), true), false)), 1.0 / 86400);
}

// The runtime's patterns: "m" after an hour is minutes, quoted text is literal.
TEST(DateTime, PatternFormatting)
{
    const TDateTime t = EncodeDateTime({2012, 3, 5, 9, 7, 2, 45});
    EXPECT_EQ(FormatDateTime("dd.mm.yyyy h:nn:ss", t), "05.03.2012 9:07:02");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh-nn-ss.zzz", t), "2012-03-05 09-07-02.045");
    EXPECT_EQ(FormatDateTime("hh:mm 'at' d/m/yy", t), "09:07 at 5/3/12");
    EXPECT_EQ(FormatFloat(1.5, 2), "1.50");
}

// The regional form leaves out the time at exactly midnight.
TEST(DateTime, RegionalFormatAtMidnight)
{
    const QString midnight = FormatRegionalDateTime(EncodeDate(2012, 12, 22));
    const QString afternoon = FormatRegionalDateTime(EncodeDateTime({2012, 12, 22, 14, 5, 33, 0}));
    EXPECT_TRUE(afternoon.startsWith(midnight + ' ')) << qPrintable(afternoon);
    EXPECT_TRUE(afternoon.contains("05")) << qPrintable(afternoon);
}
