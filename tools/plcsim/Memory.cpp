#include "Memory.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include "epsnet/kxEPSNET_taglist.h"
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// A PUB file of a real PLC is far below this; the bound keeps a wrong file name from loading
// a disk image.
constexpr qint64 MaxPubFileSize = 64 * 1024 * 1024;

template <typename T> QByteArray LittleEndian(T value)
{
    QByteArray bytes(sizeof(T), '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

[[noreturn]] void RaiseBadValue(const QString& value, const QString& type)
{
    throw Exception(QStringLiteral("\"%1\" is not a valid %2 value").arg(value, type));
}

qint64 ParseInteger(const QString& value, qint64 low, qint64 high, const QString& type)
{
    bool ok = false;
    const qint64 number = value.trimmed().toLongLong(&ok);
    if (!ok || number < low || number > high)
        RaiseBadValue(value, QStringLiteral("%1 (%2 .. %3)").arg(type).arg(low).arg(high));
    return number;
}

double ParseFloat(const QString& value, const QString& type)
{
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    if (!ok)
        RaiseBadValue(value, type);
    return number;
}

// Seconds since 1970 of the wall-clock time given, which the master reads back as that very
// date and time; or the seconds themselves.
double ParseDateTime(const QString& value)
{
    bool ok = false;
    const double seconds = value.trimmed().toDouble(&ok);
    if (ok)
        return seconds;
    const QStringList parts = value.trimmed().split(QRegularExpression(QStringLiteral("[ T]")));
    const QDate date = QDate::fromString(parts.value(0), QStringLiteral("yyyy-MM-dd"));
    const QTime time = parts.size() > 1 ? QTime::fromString(parts.value(1), QStringLiteral("HH:mm:ss")) : QTime(0, 0);
    if (parts.size() > 2 || !date.isValid() || !time.isValid())
        RaiseBadValue(value, QStringLiteral("DT (yyyy-MM-dd HH:mm:ss)"));
    // As UTC, so that no time zone or summer time shifts the wall-clock time the master shows.
    return double(QDateTime(date, time, QTimeZone::utc()).toSecsSinceEpoch());
}

bool ParseBool(const QString& value)
{
    const QString word = value.trimmed().toLower();
    if (word == u"1" || word == u"true")
        return true;
    if (word == u"0" || word == u"false")
        return false;
    RaiseBadValue(value, QStringLiteral("BOOL (0, 1, true, false)"));
}

// A quoted value keeps its blanks: "" is the empty text.
QString Unquoted(const QString& value)
{
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        return value.mid(1, value.size() - 2);
    return value;
}

} // namespace

TSimMemory::TSimMemory(const TCodePage& codePage) : FCodePage(codePage), FTags(std::make_unique<TEpsnetTagList>())
{
    for (auto& image : FImages)
        image = std::make_unique<TEPSNETRam>();
}

TSimMemory::~TSimMemory() = default;

void TSimMemory::LoadPubFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("Cannot open PUB file \"%1\": %2").arg(fileName, file.errorString()));
    if (file.size() > MaxPubFileSize)
        throw Exception(QStringLiteral("PUB file \"%1\" is larger than %2 bytes").arg(fileName).arg(MaxPubFileSize));
    const QByteArray bytes = file.readAll();
    auto tags = std::make_unique<TEpsnetTagList>();
    tags->SetCodePage(FCodePage.Name());
    try {
        tags->LoadFromString(DecodePubFileBytes(bytes, FCodePage));
    } catch (const Exception& error) {
        // A file without any tag line is an empty layout; one with broken lines is refused below.
        if (tags->LoadWarnings().isEmpty())
            tags->Clear();
        else
            throw Exception(QStringLiteral("PUB file \"%1\": %2").arg(fileName, error.Message()));
    }
    // The simulator's layout must be exact: a line the master would leave out is an error here.
    if (!tags->LoadWarnings().isEmpty())
        throw Exception(QStringLiteral("PUB file \"%1\": %2").arg(fileName, tags->LoadWarnings().front()));
    for (int i = 0; i < tags->Count(); ++i)
        tags->Items(i)->DataPtr = FImages[tags->Items(i)->Area()].get();
    FTags = std::move(tags);
    FPubBytes = bytes;
}

int TSimMemory::TagCount() const { return FTags->Count(); }

QByteArray TSimMemory::Read(TEPSNETArea area, int address, int length) const
{
    QByteArray bytes(length, '\0');
    ReadInto(area, address, length, bytes.data());
    return bytes;
}

void TSimMemory::ReadInto(TEPSNETArea area, int address, int length, char* out) const
{
    // Bytes past the end of the area read as zeros, as TEPSNETRam::ByteAt gives them.
    const std::int64_t inside = address < 0 ? 0 : std::clamp<std::int64_t>(std::int64_t{TEPSNETRam::RamSize} - address, 0, length);
    if (inside > 0)
        std::memcpy(out, FImages[area]->ram.data() + address, std::size_t(inside));
    std::memset(out + inside, 0, std::size_t(length - inside));
}

void TSimMemory::Write(TEPSNETArea area, int address, QByteArrayView bytes)
{
    if (address < 0 || std::int64_t{address} + bytes.size() > TEPSNETRam::RamSize)
        throw Exception(QStringLiteral("%1 bytes at %2%3 do not fit in the area").arg(bytes.size()).arg(AreaToChar(area)).arg(address));
    for (qsizetype i = 0; i < bytes.size(); ++i)
        FImages[area]->SetByteAt(address + i, static_cast<std::uint8_t>(bytes[i]));
}

TEPSNETTag& TSimMemory::Tag(const QString& name) const
{
    TEPSNETTag* tag = FTags->GetTagByName(name);
    if (!tag)
        throw Exception(QStringLiteral("No tag \"%1\" in the PUB file").arg(name));
    return *tag;
}

void TSimMemory::WriteTag(const TEPSNETTag& tag, QByteArrayView bytes)
{
    if (tag.Address() < 0 || std::int64_t{tag.Address()} + tag.Size() > TEPSNETRam::RamSize)
        throw Exception(QStringLiteral("Tag \"%1\" lies outside its area").arg(tag.Name()));
    Write(tag.Area(), tag.Address(), bytes);
}

void TSimMemory::SetTag(const QString& name, const QString& value)
{
    TEPSNETTag& tag = Tag(name);
    using L = std::numeric_limits<std::int32_t>;
    switch (tag.DataType()) {
    case _epsdt_Bit: {
        std::uint8_t byte = FImages[tag.Area()]->ByteAt(tag.Address());
        const auto mask = static_cast<std::uint8_t>(1u << (tag.Bit() & 7));
        byte = ParseBool(value) ? std::uint8_t(byte | mask) : std::uint8_t(byte & ~mask);
        return WriteTag(tag, QByteArray(1, static_cast<char>(byte)));
    }
    case _epsdt_SInt: return WriteTag(tag, LittleEndian(std::int8_t(ParseInteger(value, -128, 127, QStringLiteral("SINT")))));
    case _epsdt_USInt:
    case _epsdt_Enum: return WriteTag(tag, LittleEndian(std::uint8_t(ParseInteger(value, 0, 255, QStringLiteral("USINT")))));
    case _epsdt_Int: return WriteTag(tag, LittleEndian(std::int16_t(ParseInteger(value, -32768, 32767, QStringLiteral("INT")))));
    case _epsdt_UInt: return WriteTag(tag, LittleEndian(std::uint16_t(ParseInteger(value, 0, 65535, QStringLiteral("UINT")))));
    case _epsdt_DInt:
    case _epsdt_Time: return WriteTag(tag, LittleEndian(std::int32_t(ParseInteger(value, L::min(), L::max(), QStringLiteral("DINT")))));
    case _epsdt_UDINT:
        return WriteTag(tag, LittleEndian(std::uint32_t(ParseInteger(value, L::min(), 4294967295LL, QStringLiteral("UDINT")))));
    case _epsdt_Real: return WriteTag(tag, LittleEndian(float(ParseFloat(value, QStringLiteral("REAL")))));
    case _epsdt_LReal: return WriteTag(tag, LittleEndian(ParseFloat(value, QStringLiteral("LREAL"))));
    case _epsdt_DT: return WriteTag(tag, LittleEndian(ParseDateTime(value)));
    case _epsdt_String: {
        // The text, cut to the declared length, then zeros to the end of the variable.
        QByteArray bytes = FCodePage.Encode(Unquoted(value)).left(tag.Size() - 1);
        bytes.append(QByteArray(tag.Size() - bytes.size(), '\0'));
        return WriteTag(tag, bytes);
    }
    }
    throw Exception(QStringLiteral("Tag \"%1\" has a type that cannot be set").arg(name));
}

QString TSimMemory::TagText(const QString& name) const { return Tag(name).GetAsString(); }
