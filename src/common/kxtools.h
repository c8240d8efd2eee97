#pragma once
#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <vector>

class TIniFile;

VOCATOR_DECLARE_EXCEPTION(EListError, Exception)

// Small helpers shared by every subsystem. None keeps state; all may be called from any thread.

// ---- Threads ----

// The argument block of the Windows debugger's thread-naming exception, kept so that code
// written against it still compiles; on Linux the name goes to the kernel instead.
struct TThreadNameInfo {
    std::uint32_t FType = 0x1000;
    std::uint32_t FName = 0;
    std::uint32_t FThreadID = 0xFFFFFFFFu;
    std::uint32_t FFlags = 0;
};
static_assert(sizeof(TThreadNameInfo) == 16);

// Names the calling thread for debuggers and tools; never throws.
void SetThreadName(const QString& ThreadName) noexcept;

// ---- Text ----

QString ReplaceChar(const QString& s, QChar schar, QChar rchar);
QString BoolToStr(bool b, const QString& sl, const QString& sh);
// 0 for an empty text, else 1 plus the delimiters before the last character: a delimiter in the
// last position opens no further field.
int SubStrCount(const QString& Str, QChar delimiter);
// Field number index (from 0); empty when the field does not exist.
QString SubStrFromStr(const QString& Str, QChar delimiter, int index);
// Each byte as two uppercase hexadecimal digits, Delimiter between bytes.
QString StringToHex(const QByteArray& Value, const QString& Delimiter);

// ---- Numbers ----

// Reads a decimal number whatever its separator: "," and "." are both decimal points, the
// regional thousands separator is dropped. Leading blanks are skipped; anything else that is not
// part of the number raises EConvertError "<prepared text> (<1-based position>)". A number too
// large for a double is reported at the position where the number starts.
double StrToFloat2(const QString& s);
// The same with a given thousands separator in place of the regional one (an empty one removes
// nothing).
double StrToFloat2(const QString& s, const QString& thousandsSeparator);
// The thousands separator of the user's LC_NUMERIC locale; empty under the C locale.
QString RegionalThousandsSeparator();

std::uint8_t ByteToBCD(std::uint8_t b);
std::uint8_t BCDToByte(std::uint8_t b);
// The bit number is taken modulo 32.
bool GetBit(std::int32_t i, int bit);
// Raises EMathError for a bit number outside 0-31.
std::int32_t SetBit(std::int32_t i, int bit, bool Value);
std::int32_t _SetBit(std::int32_t i, int bit, bool Value);
// 1-based start of a field Len long inside a space Dim long: SP 0 centres it, SP > 0 is a
// position from the start, SP < 0 counts from the end (-1 aligns the field to the end).
int SpecLoc(int SP, int Len, int Dim);

// ---- Dates and times ----

TDateTime nowUTC();
// "NULL" for 0, else the date-time quoted as "yyyy-mm-dd hh-nn-ss" or "yyyy-mm-dd hh-nn-ss.zzz".
QString DateTimeToSQLStr(TDateTime d, bool msec);
// Reads what DateTimeToSQLStr writes (quotes optional, a date alone, milliseconds optional);
// "NULL" in any case gives 0. Anything else raises EConvertError.
TDateTime SQLStrToDateTime(const QString& s);

// The PLC's packed date-time: each byte two BCD digits. Year 90-99 is 1990-1999, 00-89 is
// 2000-2089; the milliseconds are msec * 10 plus the high nibble of ext.
struct TSimaticDateTime {
    std::uint8_t Year = 0;
    std::uint8_t Month = 0;
    std::uint8_t Day = 0;
    std::uint8_t Hour = 0;
    std::uint8_t Minute = 0;
    std::uint8_t Second = 0;
    std::uint8_t msec = 0;
    std::uint8_t ext = 0;
};
static_assert(sizeof(TSimaticDateTime) == 8);

// Raises EConvertError for an impossible date or time.
TDateTime SimaticDateTimeToDateTime(const TSimaticDateTime& DateTime);
// True when the record converts; otherwise clamps every field but the year into its range in
// place and returns false.
bool CheckSimaticDateTime(TSimaticDateTime& DateTime);

// ---- Paths ----

// Replaces "($APPLICATION$)", "($APLIKACE$)" (the executable's folder) and "($TEMP$)" (the
// temporary folder), each without a trailing "/", in that order and with regard to case.
QString ParsePath(const QString& MacroPath);
// The temporary folder with its trailing "/".
QString GetTempPathForSystem();

// ---- Shared base classes ----

// Base of every component that reads its settings from its own ini section.
class TExComponent : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString IniFileSection READ IniFileSection WRITE SetIniFileSection)

public:
    explicit TExComponent(QObject* owner);

    const QString& IniFileSection() const noexcept { return FIniFileSection; }
    void SetIniFileSection(const QString& section) { FIniFileSection = section; }

    // Descendants read their keys from section IniFileSection.
    virtual void ReadFromIni(TIniFile& ini);
    // Called at the end of building the component: an empty section becomes the object name.
    virtual void Loaded();

private:
    QString FIniFileSection;
};

// The toolkit's plain list of untyped item references.
class TPointerList {
public:
    TPointerList() = default;
    virtual ~TPointerList() = default;
    TPointerList(const TPointerList&) = delete;
    TPointerList& operator=(const TPointerList&) = delete;

    int Count() const noexcept { return static_cast<int>(FItems.size()); }
    // Raise EListError for an index outside 0 .. Count - 1.
    void* Items(int index) const;
    void SetItems(int index, void* item);
    void* First() const { return Items(0); }
    void* Last() const { return Items(Count() - 1); }

    int Add(void* item);
    void Insert(int index, void* item);
    void Delete(int index);
    // Removes the first occurrence; its former index, or -1.
    int Remove(const void* item);
    int IndexOf(const void* item) const noexcept;
    void Clear() noexcept { FItems.clear(); }

private:
    void CheckIndex(int index, int count) const;

    std::vector<void*> FItems;
};

// A pointer list that knows its owner. When the owner is a pointer list, this list is one of its
// items (added by whoever builds the tree, as a pointer to the TOwnList) and leaves it when
// destroyed; the owning list must outlive it.
class TOwnList : public TPointerList {
public:
    explicit TOwnList(QObject* owner = nullptr) noexcept : FOwnerObject(owner) {}
    explicit TOwnList(TPointerList* owner) noexcept : FOwnerList(owner) {}
    ~TOwnList() override;

    // One of the two is set, or neither.
    QObject* OwnerObject() const noexcept { return FOwnerObject; }
    TPointerList* OwnerList() const noexcept { return FOwnerList; }
    // The position in the owning list, -1 when the owner is not a list.
    int Index() const noexcept;
    void* SafeFirst() const noexcept;
    void* SafeLast() const noexcept;

    std::int32_t Tag = 0;

private:
    QObject* FOwnerObject = nullptr;
    TPointerList* FOwnerList = nullptr;
};
