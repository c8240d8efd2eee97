#pragma once
#include <QString>
#include <cstdint>

// Date-times are OLE automation dates: days since 1899-12-30 as a double, the fraction being the
// time of day. Local time unless a name says UTC.
using TDateTime = double;

struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

TDateTime Now();
TDateTime NowUTC();

bool IsValidDate(int year, int month, int day);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Raise EConvertError for an impossible date or time.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
TDateTime EncodeDateTime(const TDateTimeParts& parts);
bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& result);
TDateTimeParts DecodeDateTime(TDateTime value);

// Conversions to and from the system clock (milliseconds since the Unix epoch, UTC).
TDateTime UnixMsToDateTime(std::int64_t unixMs, bool toLocal = true);
std::int64_t DateTimeToUnixMs(TDateTime value, bool isLocal = true);

// Short date, a blank and long time of the user's regional settings (LC_TIME's %x and %X);
// at exactly midnight the time part is left out.
QString FormatRegionalDateTime(TDateTime value);
QString FormatRegionalDateTimeNow();

// The runtime's pattern formatting: d dd m mm yy yyyy h hh n nn s ss z zzz, "m" after an hour
// meaning minutes, ":" and "/" the time and date separators, quoted text kept literally.
QString FormatDateTime(const QString& pattern, TDateTime value);

// Numbers always use "." as decimal separator, whatever the locale.
QString FormatFloat(double value, int decimals);
