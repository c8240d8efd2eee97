#include "common/kxtools.h"
#include "platform/CodePage.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include <algorithm>
#include <charconv>
#include <chrono>
#include <langinfo.h>
#include <locale.h>
#include <string>

// ---- Threads ----

void SetThreadName(const QString& ThreadName) noexcept
{
    try {
        SetCurrentThreadName(ThreadName);
    } catch (...) {
        // Naming is a debugging aid; a failure to allocate the name must not reach the caller.
    }
}

// ---- Text ----

QString ReplaceChar(const QString& s, QChar schar, QChar rchar)
{
    QString result = s;
    return result.replace(schar, rchar);
}

QString BoolToStr(bool b, const QString& sl, const QString& sh) { return b ? sh : sl; }

int SubStrCount(const QString& Str, QChar delimiter)
{
    if (Str.isEmpty())
        return 0;
    return 1 + static_cast<int>(QStringView(Str).chopped(1).count(delimiter));
}

QString SubStrFromStr(const QString& Str, QChar delimiter, int index)
{
    if (index < 0)
        return {};
    qsizetype start = 0;
    for (int k = 0; k < index; ++k) {
        const qsizetype found = Str.indexOf(delimiter, start);
        if (found < 0)
            return {};
        start = found + 1;
    }
    const qsizetype end = Str.indexOf(delimiter, start);
    return Str.mid(start, end < 0 ? -1 : end - start);
}

QString StringToHex(const QByteArray& Value, const QString& Delimiter)
{
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    QString result;
    if (Value.isEmpty())
        return result;
    result.reserve(Value.size() * 2 + (Value.size() - 1) * Delimiter.size());
    for (qsizetype i = 0; i < Value.size(); ++i) {
        if (i > 0)
            result += Delimiter;
        const auto byte = static_cast<unsigned char>(Value[i]);
        result += QChar(digits[byte >> 4]);
        result += QChar(digits[byte & 0x0F]);
    }
    return result;
}

// ---- Numbers ----

namespace {

bool IsAsciiDigit(QChar c) { return c >= u'0' && c <= u'9'; }

EConvertError NumberError(const QString& prepared, qsizetype index)
{
    return EConvertError(prepared + QStringLiteral(" (") + QString::number(index + 1) + u')');
}

// Reads the whole text as [blanks][sign]digits[.digits][(E|e)[sign]digits], at least one digit in
// the mantissa, with "." as decimal point. The syntax is checked here so that the error names the
// first unreadable character and the converter never sees words such as "inf" or "nan".
double ConvertNumber(const QString& text)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && text[i] == u' ')
        ++i;
    const qsizetype start = i;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;

    // Decimal exponent of the leading significant digit, to tell an overflow from an underflow.
    std::int64_t magnitude = 0;
    bool significant = false;
    qsizetype mantissaDigits = 0;
    for (; i < n && IsAsciiDigit(text[i]); ++i, ++mantissaDigits) {
        if (significant)
            ++magnitude;
        else if (text[i] != u'0')
            significant = true;
    }
    if (i < n && text[i] == u'.') {
        ++i;
        for (; i < n && IsAsciiDigit(text[i]); ++i, ++mantissaDigits) {
            if (!significant) {
                --magnitude;
                significant = text[i] != u'0';
            }
        }
    }
    if (mantissaDigits == 0)
        throw NumberError(text, i);

    std::int64_t exponent = 0;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool negative = false;
        if (i < n && (text[i] == u'+' || text[i] == u'-'))
            negative = text[i++] == u'-';
        if (i >= n || !IsAsciiDigit(text[i]))
            throw NumberError(text, i);
        constexpr std::int64_t saturation = 1'000'000'000;
        for (; i < n && IsAsciiDigit(text[i]); ++i)
            exponent = std::min(exponent * 10 + (text[i].unicode() - u'0'), saturation);
        if (negative)
            exponent = -exponent;
    }
    if (i < n)
        throw NumberError(text, i);

    // The validated text is plain ASCII; from_chars reads it without regard to the C locale.
    std::string ascii = text.mid(start).toStdString();
    if (ascii.front() == '+')
        ascii.erase(0, 1);
    double value = 0;
    const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        if (significant && magnitude + exponent > 0)
            throw NumberError(text, start);
        return ascii.front() == '-' ? -0.0 : 0.0;
    }
    if (error != std::errc() || end != ascii.data() + ascii.size())
        throw NumberError(text, start + (end - ascii.data()));
    return value;
}

} // namespace

QString RegionalThousandsSeparator()
{
    static const QString separator = [] {
        locale_t numeric = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
        if (!numeric)
            return QString();
        const QByteArray bytes(nl_langinfo_l(THOUSEP, numeric));
        freelocale(numeric);
        return TCodePage(TCodePage::LocaleCharset()).Decode(bytes);
    }();
    return separator;
}

double StrToFloat2(const QString& s) { return StrToFloat2(s, RegionalThousandsSeparator()); }

double StrToFloat2(const QString& s, const QString& thousandsSeparator)
{
    // The process-wide decimal separator is "." already, so replacing it by "." is left out.
    QString prepared = ReplaceChar(s, u',', u'.');
    if (!thousandsSeparator.isEmpty())
        prepared.remove(thousandsSeparator);
    return ConvertNumber(prepared);
}

std::uint8_t ByteToBCD(std::uint8_t b) { return static_cast<std::uint8_t>(((b / 10) << 4) | (b % 10)); }

std::uint8_t BCDToByte(std::uint8_t b) { return static_cast<std::uint8_t>((b >> 4) * 10 + (b & 0x0F)); }

bool GetBit(std::int32_t i, int bit)
{
    return ((static_cast<std::uint32_t>(i) >> (static_cast<unsigned>(bit) & 31u)) & 1u) != 0;
}

std::int32_t SetBit(std::int32_t i, int bit, bool Value)
{
    if (bit < 0 || bit > 31)
        throw EMathError(QStringLiteral("bit %1 is out of 32 bit Integer range").arg(bit));
    return _SetBit(i, bit, Value);
}

std::int32_t _SetBit(std::int32_t i, int bit, bool Value)
{
    const std::uint32_t mask = 1u << (static_cast<unsigned>(bit) & 31u);
    const std::uint32_t bits = static_cast<std::uint32_t>(i);
    return static_cast<std::int32_t>(Value ? bits | mask : bits & ~mask);
}

int SpecLoc(int SP, int Len, int Dim)
{
    // Wide arithmetic: any input is accepted, and the result wraps as the 32-bit original did.
    const std::int64_t len = std::min(Len, Dim);
    const std::int64_t dim = Dim;
    std::int64_t result = 0;
    if (SP == 0)
        result = (dim - len) / 2 + 1;
    else if (SP > 0)
        result = std::min<std::int64_t>(SP, dim - len + 1);
    else
        result = std::max<std::int64_t>(dim - len + 2 + SP, 1);
    return static_cast<int>(result);
}

// ---- Dates and times ----

TDateTime nowUTC()
{
    using TFileTimeUnits = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    constexpr std::int64_t unixEpochSince1601 = 116'444'736'000'000'000; // in 100-ns units
    constexpr double unitsPerDay = 24.0 * 3600 * 1e7;
    const std::int64_t sinceUnixEpoch = std::chrono::duration_cast<TFileTimeUnits>(std::chrono::system_clock::now().time_since_epoch()).count();
    return static_cast<double>(sinceUnixEpoch + unixEpochSince1601) / unitsPerDay - 109205;
}

QString DateTimeToSQLStr(TDateTime d, bool msec)
{
    if (d == 0)
        return QStringLiteral("NULL");
    const QString pattern = msec ? QStringLiteral("yyyy-mm-dd hh-nn-ss.zzz") : QStringLiteral("yyyy-mm-dd hh-nn-ss");
    return u'"' + FormatDateTime(pattern, d) + u'"';
}

namespace {

// Reads minDigits to maxDigits ASCII digits at pos; false when fewer are there.
bool ReadDigits(const QString& text, qsizetype& pos, int minDigits, int maxDigits, int& value)
{
    value = 0;
    int count = 0;
    while (count < maxDigits && pos < text.size() && IsAsciiDigit(text[pos])) {
        value = value * 10 + (text[pos].unicode() - u'0');
        ++pos;
        ++count;
    }
    return count >= minDigits;
}

bool ReadChar(const QString& text, qsizetype& pos, QChar expected)
{
    if (pos >= text.size() || text[pos] != expected)
        return false;
    ++pos;
    return true;
}

// "yyyy-mm-dd", optionally followed by blanks and "hh-nn-ss" with an optional ".zzz"; month, day
// and the time fields take one or two digits, as the runtime's date parser did.
bool TryParseSQLDateTime(const QString& text, TDateTimeParts& parts)
{
    qsizetype pos = 0;
    parts.Hour = parts.Minute = parts.Second = parts.MSec = 0;
    if (!ReadDigits(text, pos, 4, 4, parts.Year) || !ReadChar(text, pos, u'-') || !ReadDigits(text, pos, 1, 2, parts.Month)
        || !ReadChar(text, pos, u'-') || !ReadDigits(text, pos, 1, 2, parts.Day))
        return false;
    if (pos == text.size())
        return true;
    if (!ReadChar(text, pos, u' '))
        return false;
    while (ReadChar(text, pos, u' ')) {
    }
    if (!ReadDigits(text, pos, 1, 2, parts.Hour) || !ReadChar(text, pos, u'-') || !ReadDigits(text, pos, 1, 2, parts.Minute)
        || !ReadChar(text, pos, u'-') || !ReadDigits(text, pos, 1, 2, parts.Second))
        return false;
    if (ReadChar(text, pos, u'.') && !ReadDigits(text, pos, 3, 3, parts.MSec))
        return false;
    return pos == text.size();
}

} // namespace

TDateTime SQLStrToDateTime(const QString& s)
{
    const QString prepared = ReplaceChar(s, u'"', u' ').toUpper().trimmed();
    if (prepared == u"NULL")
        return 0;
    TDateTimeParts parts;
    TDateTime result = 0;
    if (!TryParseSQLDateTime(prepared, parts) || !TryEncodeDateTime(parts, result))
        throw EConvertError(QStringLiteral("'%1' is not a valid date and time").arg(prepared));
    return result;
}

namespace {

int SimaticYear(std::uint8_t yearByte)
{
    const int year = BCDToByte(yearByte);
    return year < 90 ? 2000 + year : 1900 + year;
}

std::uint8_t ClampBCD(std::uint8_t value, int low, int high)
{
    return ByteToBCD(static_cast<std::uint8_t>(std::clamp<int>(BCDToByte(value), low, high)));
}

} // namespace

TDateTime SimaticDateTimeToDateTime(const TSimaticDateTime& DateTime)
{
    TDateTimeParts parts;
    parts.Year = SimaticYear(DateTime.Year);
    parts.Month = BCDToByte(DateTime.Month);
    parts.Day = BCDToByte(DateTime.Day);
    parts.Hour = BCDToByte(DateTime.Hour);
    parts.Minute = BCDToByte(DateTime.Minute);
    parts.Second = BCDToByte(DateTime.Second);
    parts.MSec = BCDToByte(DateTime.msec) * 10 + (DateTime.ext >> 4);
    return EncodeDateTime(parts);
}

bool CheckSimaticDateTime(TSimaticDateTime& DateTime)
{
    try {
        SimaticDateTimeToDateTime(DateTime);
        return true;
    } catch (...) {
        // Any failure means a field is out of range; the repair below brings every field back.
    }
    DateTime.Month = ClampBCD(DateTime.Month, 1, 12);
    DateTime.Day = ClampBCD(DateTime.Day, 1, DaysInMonth(SimaticYear(DateTime.Year), BCDToByte(DateTime.Month)));
    DateTime.Hour = ClampBCD(DateTime.Hour, 0, 23);
    DateTime.Minute = ClampBCD(DateTime.Minute, 0, 59);
    DateTime.Second = ClampBCD(DateTime.Second, 0, 59);
    DateTime.msec = ClampBCD(DateTime.msec, 0, 99);
    DateTime.ext = static_cast<std::uint8_t>((std::min(DateTime.ext >> 4, 9) << 4) | (DateTime.ext & 0x0F));
    return false;
}

// ---- Paths ----

namespace {

QString WithoutTrailingSlash(QString path)
{
    if (path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

QString ParsePath(const QString& MacroPath)
{
    const QString application = WithoutTrailingSlash(ExecutableDir());
    QString result = MacroPath;
    result.replace(QStringLiteral("($APPLICATION$)"), application);
    result.replace(QStringLiteral("($APLIKACE$)"), application);
    result.replace(QStringLiteral("($TEMP$)"), WithoutTrailingSlash(GetTempPathForSystem()));
    return result;
}

QString GetTempPathForSystem() { return TempPath(); }

// ---- Shared base classes ----

TExComponent::TExComponent(QObject* owner) : QObject(owner) {}

void TExComponent::ReadFromIni(TIniFile& /*ini*/) {}

void TExComponent::Loaded()
{
    if (FIniFileSection.isEmpty())
        FIniFileSection = objectName();
}

void TPointerList::CheckIndex(int index, int count) const
{
    if (index < 0 || index >= count)
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
}

void* TPointerList::Items(int index) const
{
    CheckIndex(index, Count());
    return FItems[static_cast<size_t>(index)];
}

void TPointerList::SetItems(int index, void* item)
{
    CheckIndex(index, Count());
    FItems[static_cast<size_t>(index)] = item;
}

int TPointerList::Add(void* item)
{
    FItems.push_back(item);
    return Count() - 1;
}

void TPointerList::Insert(int index, void* item)
{
    CheckIndex(index, Count() + 1);
    FItems.insert(FItems.begin() + index, item);
}

void TPointerList::Delete(int index)
{
    CheckIndex(index, Count());
    FItems.erase(FItems.begin() + index);
}

int TPointerList::Remove(const void* item)
{
    const int index = IndexOf(item);
    if (index >= 0)
        FItems.erase(FItems.begin() + index);
    return index;
}

int TPointerList::IndexOf(const void* item) const noexcept
{
    const auto found = std::find(FItems.begin(), FItems.end(), item);
    return found == FItems.end() ? -1 : static_cast<int>(found - FItems.begin());
}

TOwnList::~TOwnList()
{
    if (FOwnerList)
        FOwnerList->Remove(static_cast<const void*>(this));
}

int TOwnList::Index() const noexcept { return FOwnerList ? FOwnerList->IndexOf(static_cast<const void*>(this)) : -1; }

void* TOwnList::SafeFirst() const noexcept { return Count() > 0 ? Items(0) : nullptr; }

void* TOwnList::SafeLast() const noexcept { return Count() > 0 ? Items(Count() - 1) : nullptr; }
