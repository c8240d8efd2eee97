#include "comm/kxasync_packets.h"
#include "common/kxtools.h"
#include "platform/CodePage.h"
#include <QtEndian>
#include <bit>
#include <cstring>
#include <typeinfo>

// ---- TDataPacket ----

TDataPacket::TDataPacket() = default;

TDataPacket::~TDataPacket() = default;

void TDataPacket::SetData(const QByteArray& Value) { FData = Value; }

QString TDataPacket::GetLogString() const { return FromAnsi(DataToSendString()); }

namespace {

void CheckBuffer(const void* buff, int count)
{
    if (count < 0 || (count > 0 && buff == nullptr))
        throw EPacketException(QStringLiteral("Invalid buffer (%1 bytes)").arg(count));
}

} // namespace

void TDataPacket::LoadDataFromBuff(const void* buff, int count)
{
    CheckBuffer(buff, count);
    FData = count > 0 ? QByteArray(static_cast<const char*>(buff), count) : QByteArray();
}

void TDataPacket::SaveDataToBuff(void* buff, int count) const
{
    CheckBuffer(buff, count);
    const int copied = std::min(GetDataLength(), count);
    if (copied > 0)
        std::memcpy(buff, FData.constData(), static_cast<std::size_t>(copied));
}

void TDataPacket::Assign(const TDataPacket& Source)
{
    Name = Source.Name;
    Tag = Source.Tag;
    SetData(Source.GetData());
}

void TDataPacket::Clear()
{
    FData.clear();
    Valid = false;
}

bool TDataPacket::ReceiveStringToData(const QByteArray& s)
{
    FData = s;
    Valid = true;
    return true;
}

// ---- TDataRawPacket ----

void TDataRawPacket::CheckAddress(int Address, int Size) const
{
    const qint64 highest = qint64{GetDataLength()} - Size;
    if (Address >= 0 && Size >= 0 && Address <= highest)
        return;
    throw EPacketException(QStringLiteral("Class:%1 Tag:%2 - Address %3 out of space (%4)\r\n")
                               .arg(ClassName(), QString::number(Tag), QString::number(Address), QString::number(highest))
        + GetLogString());
}

std::int16_t TDataRawPacket::GetAsDBI(int Address) const { return static_cast<std::int16_t>(GetAsDBW(Address)); }

void TDataRawPacket::SetAsDBI(int Address, std::int16_t Value) { SetAsDBW(Address, static_cast<std::uint16_t>(Value)); }

QByteArray TDataRawPacket::GetCharsAsString(int Address, int Length) const
{
    CheckAddress(Address, Length);
    return FData.mid(Address, Length);
}

void TDataRawPacket::SetCharsAsString(int Address, int Len, const QByteArray& Value)
{
    CheckAddress(Address, Len);
    QByteArray field = Value.left(Len);
    field.append(Len - field.size(), ' ');
    FData.replace(Address, Len, field);
}

QByteArray TDataRawPacket::GetAsString(int Address) const
{
    // An empty string right at the end of the data is still inside it.
    CheckAddress(Address, 0);
    int end = Address;
    while (end < GetDataLength() && GetAsDBB(end) != 0)
        ++end;
    return FData.mid(Address, end - Address);
}

void TDataRawPacket::SetAsString(int Address, const QByteArray& Value)
{
    QByteArray terminated = Value;
    terminated.append('\0');
    SetCharsAsString(Address, static_cast<int>(terminated.size()), terminated);
}

namespace {

// Milliseconds of one step in each of the four S5 time bases.
constexpr std::uint32_t S5TimeBaseMs[] = {10, 100, 1000, 10000};
// Three digits in the coarsest base.
constexpr std::uint32_t MaxS5TimeMs = 9'999'999;

} // namespace

std::uint32_t TDataRawPacket::GetAsS5Time(int Address) const
{
    CheckAddress(Address, 2);
    const std::uint8_t b0 = GetAsDBB(Address);
    const std::uint8_t b1 = GetAsDBB(Address + 1);
    // The digits are joined as decimal text, so a nibble above 9 adds both of its digits.
    std::uint32_t steps = 0;
    for (const unsigned nibble : {b0 & 0x0Fu, unsigned{b1} >> 4, b1 & 0x0Fu})
        steps = steps * (nibble > 9 ? 100 : 10) + nibble;
    return steps * S5TimeBaseMs[(b0 >> 4) & 3];
}

void TDataRawPacket::SetAsS5Time(int Address, std::uint32_t Value)
{
    if (Value > MaxS5TimeMs)
        throw EPacketException(QStringLiteral("S5 time %1 ms out of range (%2)").arg(Value).arg(MaxS5TimeMs));
    CheckAddress(Address, 2);
    // Digits beyond the leading three are cut off, never rounded.
    std::uint32_t steps = Value / 10;
    unsigned timeBase = 0;
    while (steps > 999) {
        steps /= 10;
        ++timeBase;
    }
    SetAsDBB(Address, static_cast<std::uint8_t>(timeBase << 4 | steps / 100));
    SetAsDBB(Address + 1, static_cast<std::uint8_t>((steps / 10 % 10) << 4 | steps % 10));
}

// ---- TLEPacket ----

void TLEPacket::CheckReadAddress(int Address, int Size) const
{
    const int highest = GetDataLength() - Size;
    if (Address < 0 || Address > highest)
        throw EPacketException(QStringLiteral("Address %1 out of space (%2)").arg(Address).arg(highest));
}

template <typename T> T TLEPacket::Read(int Address) const
{
    return qFromLittleEndian<T>(FData.constData() + Address);
}

template <typename T> void TLEPacket::Write(int Address, T Value)
{
    qToLittleEndian<T>(Value, FData.data() + Address);
}

namespace {

void CheckBitNumber(int bit)
{
    if (bit < 0 || bit > 7)
        throw EPacketException(QStringLiteral("Bit %1 out of range (0..7)").arg(bit));
}

} // namespace

bool TLEPacket::GetAsDBX(int Address, int bit) const
{
    CheckBitNumber(bit);
    return GetBit(GetAsDBB(Address), bit);
}

void TLEPacket::SetAsDBX(int Address, int bit, bool Value)
{
    CheckBitNumber(bit);
    SetAsDBB(Address, static_cast<std::uint8_t>(SetBit(GetAsDBB(Address), bit, Value)));
}

std::uint8_t TLEPacket::GetAsDBB(int Address) const
{
    CheckAddress(Address, 1);
    return static_cast<std::uint8_t>(FData[Address]);
}

void TLEPacket::SetAsDBB(int Address, std::uint8_t Value)
{
    CheckAddress(Address, 1);
    FData[Address] = static_cast<char>(Value);
}

std::int32_t TLEPacket::GetAsDBD(int Address) const
{
    CheckReadAddress(Address, 4);
    return Read<std::int32_t>(Address);
}

void TLEPacket::SetAsDBD(int Address, std::int32_t Value)
{
    CheckAddress(Address, 4);
    Write<std::int32_t>(Address, Value);
}

std::uint16_t TLEPacket::GetAsDBW(int Address) const
{
    CheckReadAddress(Address, 2);
    return Read<std::uint16_t>(Address);
}

void TLEPacket::SetAsDBW(int Address, std::uint16_t Value)
{
    CheckAddress(Address, 2);
    Write<std::uint16_t>(Address, Value);
}

TDateTime TLEPacket::GetAsDateTime(int Address) const
{
    CheckAddress(Address, 8);
    return std::bit_cast<double>(Read<std::uint64_t>(Address));
}

void TLEPacket::SetAsDateTime(int Address, TDateTime Value)
{
    CheckAddress(Address, 8);
    Write<std::uint64_t>(Address, std::bit_cast<std::uint64_t>(Value));
}

float TLEPacket::GetAsFloat(int Address) const
{
    CheckAddress(Address, 4);
    return std::bit_cast<float>(Read<std::uint32_t>(Address));
}

void TLEPacket::SetAsFloat(int Address, float Value)
{
    CheckAddress(Address, 4);
    Write<std::uint32_t>(Address, std::bit_cast<std::uint32_t>(Value));
}

std::int64_t TLEPacket::GetAsInt64(int Address) const
{
    CheckAddress(Address, 8);
    return Read<std::int64_t>(Address);
}

void TLEPacket::SetAsInt64(int Address, std::int64_t Value)
{
    CheckAddress(Address, 8);
    Write<std::int64_t>(Address, Value);
}

// ---- TDataTransaction ----

TDataTransaction::TDataTransaction() = default;

TDataTransaction::~TDataTransaction() = default;

std::unique_ptr<TDataTransaction> TDataTransaction::Create() const { return std::make_unique<TDataTransaction>(); }

void TDataTransaction::Assign(const TDataTransaction& Source)
{
    Tag = Source.Tag;
    if (Request && Source.Request)
        Request->Assign(*Source.Request);
    if (Response && Source.Response)
        Response->Assign(*Source.Response);
}

bool TDataTransaction::RenewFrom(const TDataTransaction&) { return false; }

std::unique_ptr<TDataTransaction> TDataTransaction::Clone() const
{
    std::unique_ptr<TDataTransaction> copy = Create();
    const TDataTransaction& made = *copy;
    if (typeid(made) != typeid(*this))
        throw EkxComException(ClassName() + QStringLiteral(" does not override Create"));
    copy->Assign(*this);
    return copy;
}
