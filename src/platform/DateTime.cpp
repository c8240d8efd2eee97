#include "platform/DateTime.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include <QLocale>
#include <cmath>
#include <ctime>
#include <locale.h>

namespace {

constexpr std::int64_t MSecPerDay = 86'400'000;
constexpr std::int64_t UnixEpochDays = 25569; // 1970-01-01 as an OLE date

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

// Whole days and milliseconds of the day; before 1899-12-30 the fraction counts forward as well.
void SplitDateTime(TDateTime value, std::int64_t& days, std::int64_t& msOfDay)
{
    if (!std::isfinite(value))
        value = 0;
    days = static_cast<std::int64_t>(std::trunc(value));
    msOfDay = std::llround(std::fabs(value - static_cast<double>(days)) * MSecPerDay);
    if (msOfDay >= MSecPerDay) {
        msOfDay -= MSecPerDay;
        days += value < 0 ? -1 : 1;
    }
}

TDateTime JoinDateTime(std::int64_t days, std::int64_t msOfDay)
{
    const double fraction = static_cast<double>(msOfDay) / MSecPerDay;
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

QString Pad(int value, int width) { return QString::number(value).rightJustified(width, u'0'); }

} // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool IsValidDate(int year, int month, int day)
{
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& result)
{
    if (!IsValidDate(p.Year, p.Month, p.Day))
        return false;
    if (p.Hour < 0 || p.Hour > 23 || p.Minute < 0 || p.Minute > 59 || p.Second < 0 || p.Second > 59 || p.MSec < 0 || p.MSec > 999)
        return false;
    const std::int64_t days = DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) + UnixEpochDays;
    const std::int64_t ms = ((p.Hour * 60LL + p.Minute) * 60 + p.Second) * 1000 + p.MSec;
    result = JoinDateTime(days, ms);
    return true;
}

TDateTime EncodeDateTime(const TDateTimeParts& parts)
{
    TDateTime result = 0;
    if (!TryEncodeDateTime(parts, result))
        throw EConvertError(QStringLiteral("Invalid argument to date encode"));
    return result;
}

TDateTime EncodeDate(int year, int month, int day)
{
    TDateTimeParts parts;
    parts.Year = year;
    parts.Month = month;
    parts.Day = day;
    return EncodeDateTime(parts);
}

TDateTime EncodeTime(int hour, int minute, int second, int msec)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999)
        throw EConvertError(QStringLiteral("Invalid argument to time encode"));
    return static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + msec) / MSecPerDay;
}

TDateTimeParts DecodeDateTime(TDateTime value)
{
    std::int64_t days = 0, ms = 0;
    SplitDateTime(value, days, ms);
    TDateTimeParts p;
    CivilFromDays(days - UnixEpochDays, p.Year, p.Month, p.Day);
    p.MSec = static_cast<int>(ms % 1000);
    p.Second = static_cast<int>(ms / 1000 % 60);
    p.Minute = static_cast<int>(ms / 60000 % 60);
    p.Hour = static_cast<int>(ms / 3600000);
    return p;
}

TDateTime UnixMsToDateTime(std::int64_t unixMs, bool toLocal)
{
    if (!toLocal) {
        const std::int64_t days = unixMs >= 0 ? unixMs / MSecPerDay : -((-unixMs + MSecPerDay - 1) / MSecPerDay);
        return JoinDateTime(days + UnixEpochDays, unixMs - days * MSecPerDay);
    }
    const std::time_t seconds = static_cast<std::time_t>(unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    TDateTimeParts p;
    p.Year = local.tm_year + 1900;
    p.Month = local.tm_mon + 1;
    p.Day = local.tm_mday;
    p.Hour = local.tm_hour;
    p.Minute = local.tm_min;
    p.Second = std::min(local.tm_sec, 59);
    p.MSec = static_cast<int>(unixMs - static_cast<std::int64_t>(seconds) * 1000);
    TDateTime result = 0;
    TryEncodeDateTime(p, result);
    return result;
}

std::int64_t DateTimeToUnixMs(TDateTime value, bool isLocal)
{
    std::int64_t days = 0, ms = 0;
    SplitDateTime(value, days, ms);
    if (!isLocal)
        return (days - UnixEpochDays) * MSecPerDay + ms;
    const TDateTimeParts p = DecodeDateTime(value);
    std::tm local{};
    local.tm_year = p.Year - 1900;
    local.tm_mon = p.Month - 1;
    local.tm_mday = p.Day;
    local.tm_hour = p.Hour;
    local.tm_min = p.Minute;
    local.tm_sec = p.Second;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(mktime(&local)) * 1000 + p.MSec;
}

TDateTime Now()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixMsToDateTime(static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000, true);
}

TDateTime NowUTC()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixMsToDateTime(static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000, false);
}

QString FormatRegionalDateTime(TDateTime value)
{
    const TDateTimeParts p = DecodeDateTime(value);
    std::tm tm{};
    tm.tm_year = p.Year - 1900;
    tm.tm_mon = p.Month - 1;
    tm.tm_mday = p.Day;
    tm.tm_hour = p.Hour;
    tm.tm_min = p.Minute;
    tm.tm_sec = p.Second;
    tm.tm_wday = static_cast<int>(((DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) % 7) + 11) % 7);
    const bool midnight = p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.MSec == 0;

    // The user's regional time settings, read from the environment once.
    static const locale_t regional = [] {
        locale_t loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        return loc ? loc : newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    char buffer[128];
    const size_t n = strftime_l(buffer, sizeof buffer, midnight ? "%x" : "%x %X", &tm, regional);
    static const TCodePage localeCharset(TCodePage::LocaleCharset());
    return localeCharset.Decode(QByteArrayView(buffer, static_cast<qsizetype>(n)));
}

QString FormatRegionalDateTimeNow() { return FormatRegionalDateTime(Now()); }

QString FormatDateTime(const QString& pattern, TDateTime value)
{
    const TDateTimeParts p = DecodeDateTime(value);
    const QLocale c = QLocale::c();
    QString out;
    bool lastWasHour = false;
    qsizetype i = 0;
    const qsizetype n = pattern.size();
    auto runLength = [&](QChar letter) {
        qsizetype k = i;
        while (k < n && pattern[k].toLower() == letter)
            ++k;
        return k - i;
    };
    while (i < n) {
        const QChar ch = pattern[i];
        const QChar lower = ch.toLower();
        if (ch == u'"' || ch == u'\'') {
            const qsizetype close = pattern.indexOf(ch, i + 1);
            const qsizetype end = close < 0 ? n : close;
            out += pattern.mid(i + 1, end - i - 1);
            i = end + 1;
            continue;
        }
        const qsizetype len = runLength(lower);
        if (lower == u'y') {
            out += len <= 2 ? Pad(p.Year % 100, 2) : Pad(p.Year, 4);
        } else if (lower == u'm') {
            if (lastWasHour && len <= 2)
                out += len == 1 ? QString::number(p.Minute) : Pad(p.Minute, 2);
            else if (len == 1)
                out += QString::number(p.Month);
            else if (len == 2)
                out += Pad(p.Month, 2);
            else
                out += c.monthName(p.Month, len == 3 ? QLocale::ShortFormat : QLocale::LongFormat);
        } else if (lower == u'd') {
            if (len <= 2)
                out += len == 1 ? QString::number(p.Day) : Pad(p.Day, 2);
            else {
                const int weekday = static_cast<int>((DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) % 7 + 10) % 7) + 1;
                out += c.dayName(weekday, len == 3 ? QLocale::ShortFormat : QLocale::LongFormat);
            }
        } else if (lower == u'h') {
            out += len == 1 ? QString::number(p.Hour) : Pad(p.Hour, 2);
        } else if (lower == u'n') {
            out += len == 1 ? QString::number(p.Minute) : Pad(p.Minute, 2);
        } else if (lower == u's') {
            out += len == 1 ? QString::number(p.Second) : Pad(p.Second, 2);
        } else if (lower == u'z') {
            out += len >= 3 ? Pad(p.MSec, 3) : QString::number(p.MSec);
        } else {
            out += ch; // ":" and "/" are the separators, which are ":" and "/" in this program
            i += 1;
            continue;
        }
        lastWasHour = lower == u'h';
        i += lower == u'y' || lower == u'z' ? len : std::min<qsizetype>(len, lower == u'm' || lower == u'd' ? 4 : 2);
    }
    return out;
}

QString FormatFloat(double value, int decimals) { return QString::number(value, 'f', decimals); }
