#pragma once
#include "epsnet/kxEPSNET_frames.h"
#include "epsnet/kxEPSNET_ram.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

// Tags: one variable of the PLC's PUB file each, with its area, address, type and description,
// and the conversions from the bytes of the area's RAM image to booleans, numbers, dates and text.

// Base of every tag: a name and a description.
class TkxTag {
public:
    TkxTag() = default;
    virtual ~TkxTag();
    TkxTag(const TkxTag&) = delete;
    TkxTag& operator=(const TkxTag&) = delete;

    virtual QString ClassName() const { return QStringLiteral("TkxTag"); }

    const QString& Name() const noexcept { return FName; }
    void SetName(const QString& Value) { FName = Value; }
    const QString& Description() const noexcept { return FDescription; }
    void SetDescription(const QString& Value) { FDescription = Value; }

protected:
    QString FName;
    QString FDescription;
};

// The data types of the PUB file. Multi-byte values are little-endian in the image.
enum TEPSNETDataType : std::uint8_t {
    _epsdt_Bit,     // "BOOL": one bit of a byte
    _epsdt_SInt,    // "SINT"
    _epsdt_USInt,   // "USINT" or "BYTE"
    _epsdt_Enum,    // any other word on a line whose data-size field is "B": one unsigned byte
    _epsdt_Int,     // "INT"
    _epsdt_UInt,    // "UINT"
    _epsdt_DInt,    // "DINT"
    _epsdt_UDINT,   // "UDINT": read as a signed 32-bit number
    _epsdt_Real,    // "REAL": IEEE single
    _epsdt_LReal,   // "LREAL": IEEE double
    _epsdt_Time,    // "TIME": 4 bytes, not converted
    _epsdt_DT,      // "DT": IEEE double, seconds since 1970-01-01 00:00:00
    _epsdt_String   // "STRING[n]": n + 1 bytes of 8-bit text ended by a zero byte
};

// The longest STRING the PUB file may declare: its n + 1 bytes fill a whole area image.
inline constexpr std::int32_t MaxStringLength = TEPSNETRam::RamSize - 1;

// Why a PUB line gives no tag: the message of the exception the throwing parser raises for it,
// and which exception that is (EConvertError for a field that is not a number, otherwise
// EEPSNETException).
struct TPubLineFault {
    bool NotANumber = false;
    QString Text;
};

// The type and size of a type word (exact, case-sensitive). "STRING[n]" gives n + 1 bytes; a
// length that is not a number raises EConvertError, one outside 0 .. MaxStringLength raises
// "Unsupported datatype "%s"". A word outside the table is an enumeration when ADataSize is "B",
// otherwise "Unsupported datatype "%s"".
TEPSNETDataType StringToEpsnetType(const QString& ADataType, const QString& ADataSize, std::int32_t& Size);
// The same without raising: no value, and the fault in *fault unless it is null (the text is
// only built when asked for, as a file of broken lines asks for few of them).
std::optional<TEPSNETDataType> TryStringToEpsnetType(QStringView ADataType, QStringView ADataSize, std::int32_t& Size,
                                                      TPubLineFault* fault);
// The type word of ADataType ("STRING" without a length); text is left as it was for
// enumerations and values outside the table.
void EpsnetDataTypeToString(TEPSNETDataType ADataType, QString& text);

// A PUB line without leading and trailing white space and control characters.
QString TrimPubLine(QStringView line);
// The same as a view into the line.
QStringView TrimmedPubLine(QStringView line) noexcept;
// True for a trimmed line that starts with an ASCII letter; every other line is skipped.
bool IsTagLine(QStringView trimmedLine);

// A decimal integer with an optional sign (leading blanks allowed), as the runtime reads one;
// anything else, or a number outside 32 bits, raises EConvertError "'%s' is not a valid integer
// value".
std::int32_t DecimalStrToInt(QStringView text);
// The same without raising: no value for a text that DecimalStrToInt rejects.
std::optional<std::int32_t> TryDecimalStrToInt(QStringView text) noexcept;

// One variable of the PLC. Its value is read from the image DataPtr of its area at byte Address.
// A tag whose bytes reach past the image reads the bytes inside it and zero for the rest; a tag
// whose DataPtr is not assigned reads false, 0, NaN, 0 and "DataPtr is not assigned". Not thread
// safe: the thread-safe tag list guards tags and images with one lock.
class TEPSNETTag : public TkxTag {
public:
    QString ClassName() const override { return QStringLiteral("TEPSNETTag"); }

    // Fills the tag from one PUB line: name, area letter, data-size field, address, an optional
    // ".bit" when the data size is "B", the type word, and after the first ";" the description.
    // Returns true or raises (EEPSNETException, or EConvertError for a field that is not a
    // number); the tag is then left partly filled.
    bool ParseLine(const QString& Line);
    // The same without raising: false, and the fault in *fault unless it is null.
    bool TryParseLine(QStringView Line, TPubLineFault* fault);

    TEPSNETArea Area() const noexcept { return FArea; }
    std::int32_t Address() const noexcept { return FAddress; }
    std::int32_t Bit() const noexcept { return FBit; }
    TEPSNETDataType DataType() const noexcept { return FDataType; }
    std::int32_t Size() const noexcept { return FSize; }
    // Pattern for the text of floats and dates. For floats the digit placeholders after a "."
    // give the decimals ("0" always shown, "#" only when not zero); for dates it is a date-time
    // pattern. Empty gives the general forms.
    const QString& CustomFormat() const noexcept { return FCustomFormat; }
    void SetCustomFormat(const QString& Value) { FCustomFormat = Value; }

    // The code page of the PLC's texts (STRING values); null means the process's ANSI code page.
    // The tag list points its tags at its own.
    void SetCodePage(const TCodePage* codePage) noexcept { FCodePage = codePage; }

    bool GetAsBool() const;
    // Raises EMathError when a float or date does not round into 32 bits, EConvertError when a
    // STRING's text is not a number.
    std::int32_t GetAsInteger() const;
    double GetAsFloat() const;
    TDateTime GetAsDateTime() const;
    // Raises EConvertError for a DT value outside the years 1 to 9999.
    QString GetAsString() const;

    // Writing to the PLC is not part of this system. SetAsBool of a Bit tag changes that bit in
    // the local image (until the next read overwrites it); every other setter changes nothing.
    void SetAsBool(bool Value);
    void SetAsInteger(std::int32_t Value);
    void SetAsFloat(double Value);
    void SetAsDateTime(TDateTime Value);
    void SetAsString(const QString& Value);

    // The image of the tag's area; null until the tag list assigns it.
    TEPSNETRam* DataPtr = nullptr;

private:
    // Byte offset of the tag, 0 for its first byte.
    std::uint8_t ByteAt(std::int32_t offset) const noexcept;
    template <typename T> T ReadLittleEndian() const noexcept;
    QString StringValue() const;
    QString FormatFloatValue(double value) const;
    QString FormatDateTimeValue(TDateTime value) const;

    TEPSNETArea FArea = _epsnet_x;
    std::int32_t FAddress = 0;
    std::int32_t FBit = 0;
    TEPSNETDataType FDataType = _epsdt_Bit;
    std::int32_t FSize = 0;
    QString FCustomFormat;
    const TCodePage* FCodePage = nullptr;
};
