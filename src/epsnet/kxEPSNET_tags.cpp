#include "epsnet/kxEPSNET_tags.h"
#include "common/kxtools.h"
#include <QList>
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

TkxTag::~TkxTag() = default;

namespace {

// Lines and fields quoted in messages are cut here: a line of garbage can be megabytes long, and
// each failed load logs its message again.
constexpr qsizetype MaxQuotedLength = 256;

QString QuotedForMessage(QStringView text)
{
    if (text.size() <= MaxQuotedLength)
        return text.toString();
    return text.left(MaxQuotedLength).toString() + QStringLiteral("...");
}

QString WrongLineFormatText(QStringView line) { return QStringLiteral("Wrong line format:") + QuotedForMessage(line); }

QString UnsupportedDatatypeText(QStringView dataType)
{
    return QStringLiteral("Unsupported datatype \"%1\"").arg(QuotedForMessage(dataType));
}

QString NotAnIntegerText(QStringView text) { return QStringLiteral("'%1' is not a valid integer value").arg(QuotedForMessage(text)); }

// Fills *fault, when there is one to fill, with the text that makeText builds; false always.
template <typename TMakeText> bool Fail(TPubLineFault* fault, bool notANumber, TMakeText makeText)
{
    if (fault) {
        fault->NotANumber = notANumber;
        fault->Text = makeText();
    }
    return false;
}

[[noreturn]] void Raise(const TPubLineFault& fault)
{
    if (fault.NotANumber)
        throw EConvertError(fault.Text);
    throw EEPSNETException(fault.Text);
}

bool IsTrimmedChar(QChar c)
{
    // The byte-order mark counts as white space: a text decoded without dropping it must not lose
    // its first tag.
    return c.unicode() <= 0x20 || c.isSpace() || c.category() == QChar::Other_Control || c.unicode() == 0xFEFF;
}

struct TTypeWord {
    const char16_t* Word;
    TEPSNETDataType Type;
    std::int32_t Size;
};

// The fixed-size types in the order the type words are tested; STRING comes before them.
constexpr TTypeWord TypeWords[] = {
    {u"BOOL", _epsdt_Bit, 1},    {u"SINT", _epsdt_SInt, 1}, {u"USINT", _epsdt_USInt, 1},
    {u"BYTE", _epsdt_USInt, 1},  {u"INT", _epsdt_Int, 2},   {u"UINT", _epsdt_UInt, 2},
    {u"DINT", _epsdt_DInt, 4},   {u"UDINT", _epsdt_UDINT, 4}, {u"REAL", _epsdt_Real, 4},
    {u"LREAL", _epsdt_LReal, 8}, {u"TIME", _epsdt_Time, 4}, {u"DT", _epsdt_DT, 8},
};

// The text between the first "[" and the next "]"; to the end when no "]" follows, empty when
// there is no "[".
QStringView BracketedText(QStringView text)
{
    const qsizetype open = text.indexOf(u'[');
    if (open < 0)
        return {};
    const qsizetype close = text.indexOf(u']', open + 1);
    return close < 0 ? text.mid(open + 1) : text.mid(open + 1, close - open - 1);
}

// The fields of a tag line that the parser looks at; what follows them is ignored.
constexpr int UsedLineFields = 6;
using TLineFields = std::array<QStringView, UsedLineFields>;

// The first fields of the text split at every single blank (two blanks make an empty field);
// fields that are not there are empty. Only these are cut out, so a line of a million blanks
// costs one pass and no list of a million fields.
TLineFields SplitLineFields(QStringView text)
{
    TLineFields fields;
    qsizetype start = 0;
    for (int i = 0; i < UsedLineFields && start <= text.size(); ++i) {
        qsizetype blank = text.indexOf(u' ', start);
        if (blank < 0)
            blank = text.size();
        fields[std::size_t(i)] = text.sliced(start, blank - start);
        start = blank + 1;
    }
    return fields;
}

// Nearest integer, halves to even; a value that does not fit 32 bits (or is not a number) is the
// runtime's invalid floating point operation rather than an arbitrary result.
std::int32_t RoundToInt32(double value)
{
    const double rounded = std::nearbyint(value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() && rounded <= std::numeric_limits<std::int32_t>::max()))
        throw EMathError(QStringLiteral("Invalid floating point operation"));
    return static_cast<std::int32_t>(rounded);
}

// The general decimal form: up to 15 significant digits, "." as decimal point, scientific with
// "E" and an unpadded exponent below 1E-4 and from 1E15 on.
QString FloatToStrGeneral(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    if (value == 0)
        return QStringLiteral("0");
    const QString text = QString::number(value, 'g', 15);
    const qsizetype e = text.indexOf(u'e');
    if (e < 0)
        return text;
    return text.left(e) + u'E' + QString::number(text.mid(e + 1).toInt());
}

// A pattern's decimals: every "0" or "#" after the first "." is a place, up to the last "0" they
// are always shown.
QString FloatToStrPattern(double value, const QString& pattern)
{
    if (!std::isfinite(value))
        return FloatToStrGeneral(value);
    int places = 0;
    int required = 0;
    const qsizetype point = pattern.indexOf(u'.');
    for (qsizetype i = point < 0 ? pattern.size() : point + 1; i < pattern.size(); ++i) {
        if (pattern[i] == u'0' || pattern[i] == u'#')
            ++places;
        if (pattern[i] == u'0')
            required = places;
    }
    QString text = QString::number(value, 'f', places);
    for (int shown = places; shown > required && text.endsWith(u'0'); --shown)
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    if (text.startsWith(u'-') && text.count(u'0') + text.count(u'.') == text.size() - 1)
        text.remove(0, 1); // no "-0"
    return text;
}

// The OLE automation dates of the years 1 to 9999.
constexpr double FirstDate = -693593.0;
constexpr double EndOfLastDate = 2958466.0;
constexpr double SecondsPerDay = 86400.0;
constexpr double UnixEpochDate = 25569.0;

} // namespace

// ---- Free functions ----

std::int32_t DecimalStrToInt(QStringView text)
{
    if (const std::optional<std::int32_t> value = TryDecimalStrToInt(text))
        return *value;
    throw EConvertError(NotAnIntegerText(text));
}

std::optional<std::int32_t> TryDecimalStrToInt(QStringView text) noexcept
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    if (i == text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

QString TrimPubLine(QStringView line) { return TrimmedPubLine(line).toString(); }

QStringView TrimmedPubLine(QStringView line) noexcept
{
    qsizetype first = 0;
    qsizetype end = line.size();
    while (first < end && IsTrimmedChar(line[first]))
        ++first;
    while (end > first && IsTrimmedChar(line[end - 1]))
        --end;
    return line.sliced(first, end - first);
}

bool IsTagLine(QStringView trimmedLine)
{
    if (trimmedLine.isEmpty())
        return false;
    const char16_t c = trimmedLine.front().unicode();
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

TEPSNETDataType StringToEpsnetType(const QString& ADataType, const QString& ADataSize, std::int32_t& Size)
{
    TPubLineFault fault;
    if (const std::optional<TEPSNETDataType> type = TryStringToEpsnetType(ADataType, ADataSize, Size, &fault))
        return *type;
    Raise(fault);
}

std::optional<TEPSNETDataType> TryStringToEpsnetType(QStringView ADataType, QStringView ADataSize, std::int32_t& Size,
                                                      TPubLineFault* fault)
{
    if (ADataType.startsWith(u"STRING")) {
        const QStringView lengthText = BracketedText(ADataType);
        const std::optional<std::int32_t> length = TryDecimalStrToInt(lengthText);
        if (!length) {
            Fail(fault, true, [&] { return NotAnIntegerText(lengthText); });
            return std::nullopt;
        }
        if (*length < 0 || *length > MaxStringLength) {
            Fail(fault, false, [&] { return UnsupportedDatatypeText(ADataType); });
            return std::nullopt;
        }
        Size = *length + 1;
        return _epsdt_String;
    }
    for (const TTypeWord& entry : TypeWords) {
        if (ADataType == QStringView(entry.Word)) {
            Size = entry.Size;
            return entry.Type;
        }
    }
    if (ADataSize == u"B") {
        Size = 1;
        return _epsdt_Enum;
    }
    Fail(fault, false, [&] { return UnsupportedDatatypeText(ADataType); });
    return std::nullopt;
}

void EpsnetDataTypeToString(TEPSNETDataType ADataType, QString& text)
{
    if (ADataType == _epsdt_String) {
        text = QStringLiteral("STRING");
        return;
    }
    for (const TTypeWord& entry : TypeWords) {
        if (entry.Type == ADataType) {
            text = QString::fromUtf16(entry.Word);
            return;
        }
    }
}

// ---- TEPSNETTag ----

bool TEPSNETTag::ParseLine(const QString& Line)
{
    TPubLineFault fault;
    if (!TryParseLine(Line, &fault))
        Raise(fault);
    return true;
}

bool TEPSNETTag::TryParseLine(QStringView Line, TPubLineFault* fault)
{
    const QStringView line = TrimmedPubLine(Line);
    // The description is all after the first ";", so a type word written against it ("BOOL;on")
    // is still the type word.
    const qsizetype semicolon = line.indexOf(u';');
    const TLineFields fields = SplitLineFields(line.left(semicolon < 0 ? line.size() : semicolon));
    auto field = [&](int index) { return fields[std::size_t(index)]; };
    auto wrongFormat = [&] { return Fail(fault, false, [&] { return WrongLineFormatText(line); }); };
    auto notANumber = [&](QStringView text) { return Fail(fault, true, [&] { return NotAnIntegerText(text); }); };

    FName = field(0).toString();
    FDescription.clear();
    FBit = 0;
    if (field(1).isEmpty())
        return wrongFormat();
    const std::optional<TEPSNETArea> area = TryCharToArea(field(1).front());
    if (!area)
        return Fail(fault, false, [&] { return UnknownAreaText(field(1).front()); });
    FArea = *area;
    const std::optional<std::int32_t> address = TryDecimalStrToInt(field(3));
    if (!address)
        return notANumber(field(3));
    FAddress = *address;

    int typeField = 4;
    if (field(2) == u"B") {
        if (field(4).isEmpty())
            return wrongFormat();
        if (field(4).startsWith(u'.')) {
            const std::optional<std::int32_t> bit = TryDecimalStrToInt(field(4).mid(1));
            if (!bit)
                return notANumber(field(4).mid(1));
            FBit = *bit;
            typeField = 5;
        }
    }
    const std::optional<TEPSNETDataType> type = TryStringToEpsnetType(TrimmedPubLine(field(typeField)), field(2), FSize, fault);
    if (!type)
        return false;
    FDataType = *type;
    if (semicolon >= 0)
        FDescription = TrimPubLine(line.mid(semicolon + 1));
    return true;
}

std::uint8_t TEPSNETTag::ByteAt(std::int32_t offset) const noexcept
{
    return DataPtr->ByteAt(std::int64_t{FAddress} + offset);
}

template <typename T> T TEPSNETTag::ReadLittleEndian() const noexcept
{
    using TBits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                  std::conditional_t<sizeof(T) == 2, std::uint16_t,
                  std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    TBits bits = 0;
    for (int i = 0; i < static_cast<int>(sizeof(T)); ++i)
        bits = static_cast<TBits>(bits | static_cast<TBits>(TBits{ByteAt(i)} << (8 * i)));
    return std::bit_cast<T>(bits);
}

bool TEPSNETTag::GetAsBool() const
{
    if (!DataPtr)
        return false;
    switch (FDataType) {
    case _epsdt_Bit:
        return GetBit(ByteAt(0), FBit);
    case _epsdt_Real:
    case _epsdt_LReal:
        return GetAsFloat() > 0;
    default:
        return false;
    }
}

std::int32_t TEPSNETTag::GetAsInteger() const
{
    if (!DataPtr)
        return 0;
    switch (FDataType) {
    case _epsdt_Bit:
        // The bit as a number, as its float is: 0 or 1.
        return GetAsBool() ? 1 : 0;
    case _epsdt_SInt:
        return ReadLittleEndian<std::int8_t>();
    case _epsdt_USInt:
    case _epsdt_Enum:
        return ReadLittleEndian<std::uint8_t>();
    case _epsdt_Int:
        return ReadLittleEndian<std::int16_t>();
    case _epsdt_UInt:
        return ReadLittleEndian<std::uint16_t>();
    case _epsdt_DInt:
    case _epsdt_UDINT:
        return ReadLittleEndian<std::int32_t>();
    case _epsdt_Real:
    case _epsdt_LReal:
        return RoundToInt32(GetAsFloat());
    case _epsdt_DT:
        return RoundToInt32(GetAsDateTime());
    case _epsdt_String:
        return DecimalStrToInt(StringValue());
    case _epsdt_Time:
        break;
    }
    return 0;
}

double TEPSNETTag::GetAsFloat() const
{
    if (!DataPtr)
        return std::numeric_limits<double>::quiet_NaN();
    switch (FDataType) {
    case _epsdt_Bit:
        return GetAsBool() ? 1.0 : 0.0;
    case _epsdt_Real:
        return ReadLittleEndian<float>();
    case _epsdt_LReal:
        return ReadLittleEndian<double>();
    default:
        return std::numeric_limits<double>::quiet_NaN();
    }
}

TDateTime TEPSNETTag::GetAsDateTime() const
{
    if (!DataPtr || FDataType != _epsdt_DT)
        return 0;
    return ReadLittleEndian<double>() / SecondsPerDay + UnixEpochDate;
}

QString TEPSNETTag::GetAsString() const
{
    if (!DataPtr)
        return QStringLiteral("DataPtr is not assigned");
    switch (FDataType) {
    case _epsdt_Bit:
        return GetAsBool() ? QStringLiteral("1") : QStringLiteral("0");
    case _epsdt_Real:
    case _epsdt_LReal:
        return FormatFloatValue(GetAsFloat());
    case _epsdt_Time:
        return QStringLiteral("Unssuported datatype");
    case _epsdt_DT:
        return FormatDateTimeValue(GetAsDateTime());
    case _epsdt_String:
        return StringValue();
    default:
        return QString::number(GetAsInteger());
    }
}

QString TEPSNETTag::StringValue() const
{
    // The text ends at its zero byte, after its declared size, or at the end of the image; a
    // first byte outside the image reads as zero, so such a text is empty.
    if (!TEPSNETRam::Contains(FAddress) || FSize <= 0)
        return {};
    const std::int64_t end = std::min<std::int64_t>(std::int64_t{FAddress} + FSize, TEPSNETRam::RamSize);
    const auto* first = reinterpret_cast<const char*>(DataPtr->ram.data() + FAddress);
    const auto length = static_cast<std::size_t>(end - FAddress);
    const void* zero = std::memchr(first, 0, length);
    const qsizetype size = zero ? static_cast<const char*>(zero) - first : static_cast<qsizetype>(length);
    return (FCodePage ? *FCodePage : AnsiCodePage()).Decode(QByteArrayView(first, size));
}

QString TEPSNETTag::FormatFloatValue(double value) const
{
    return FCustomFormat.isEmpty() ? FloatToStrGeneral(value) : FloatToStrPattern(value, FCustomFormat);
}

QString TEPSNETTag::FormatDateTimeValue(TDateTime value) const
{
    if (!(value >= FirstDate && value < EndOfLastDate))
        throw EConvertError(QStringLiteral("Invalid date and time (%1 days)").arg(FloatToStrGeneral(value)));
    return FCustomFormat.isEmpty() ? FormatRegionalDateTime(value) : FormatDateTime(FCustomFormat, value);
}

void TEPSNETTag::SetAsBool(bool Value)
{
    // Only a bit of the tag's own byte changes; bit numbers beyond a byte read as false anyway.
    if (!DataPtr || FDataType != _epsdt_Bit || FBit < 0 || FBit > 7)
        return;
    const std::int64_t index = std::int64_t{FAddress};
    const auto mask = static_cast<std::uint8_t>(1u << FBit);
    const std::uint8_t byte = DataPtr->ByteAt(index);
    DataPtr->SetByteAt(index, static_cast<std::uint8_t>(Value ? byte | mask : byte & ~mask));
}

// Values reach neither the image nor the PLC: this system only reads the PLC.
void TEPSNETTag::SetAsInteger(std::int32_t) {}
void TEPSNETTag::SetAsFloat(double) {}
void TEPSNETTag::SetAsDateTime(TDateTime) {}
void TEPSNETTag::SetAsString(const QString&) {}
