#include "comm/kxasync_settings.h"
#include "comm/kxasync_packets.h"
#include "platform/IniFile.h"
#include <algorithm>

namespace {

// ---- Text ----

bool IsBlankOrControl(QChar c) { return c.unicode() <= 32; }

// Leading and trailing characters with codes up to 32 removed.
QStringView TrimBlanks(QStringView s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && IsBlankOrControl(s[begin]))
        ++begin;
    while (end > begin && IsBlankOrControl(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

char16_t AsciiUpper(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') ? static_cast<char16_t>(u - (u'a' - u'A')) : u;
}

// Whether the trimmed text starts with prefix (upper-case ASCII), comparing ASCII letters only
// without regard to case, so that no other script's case folding can forge a prefix.
bool HasPrefix(const QString& text, const QString& prefix)
{
    const QStringView trimmed = TrimBlanks(text);
    if (trimmed.size() < prefix.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        if (AsciiUpper(trimmed[i]) != prefix[i].unicode())
            return false;
    }
    return true;
}

// ---- Tables ----

template <std::size_t Count>
std::uint8_t LowByteOfEntry(const std::array<std::uint32_t, Count>& table, unsigned ordinal, const char* what)
{
    if (ordinal >= Count)
        throw EkxComException(QStringLiteral("%1 out of range (%2)").arg(QLatin1String(what)).arg(ordinal));
    return static_cast<std::uint8_t>(table[ordinal]);
}

// The first position whose entry equals value, or -1.
template <std::size_t Count>
int PositionOf(const std::array<std::uint32_t, Count>& table, std::uint32_t value)
{
    const auto found = std::find(table.begin(), table.end(), value);
    return found == table.end() ? -1 : static_cast<int>(found - table.begin());
}

[[noreturn]] void RaiseDataBitsOutOfRange(qint64 bits)
{
    throw EPacketException(QStringLiteral("Data bits out of range (%1)").arg(bits));
}

} // namespace

// ---- Line settings in a DCB ----

void SetBaudRate(DCB& dcb, TcmBaudrate value)
{
    if (value >= TcmBaudrateToBaudRate.size())
        throw EkxComException(QStringLiteral("Baud rate out of range (%1)").arg(unsigned{value}));
    dcb.BaudRate = TcmBaudrateToBaudRate[value];
}

void SetDataBits(DCB& dcb, TDatabits value) { dcb.ByteSize = LowByteOfEntry(CommDataBits, value, "Data bits"); }

void SetParity(DCB& dcb, TcmParity value) { dcb.Parity = LowByteOfEntry(CommParity, value, "Parity"); }

void SetStopbits(DCB& dcb, TStopbits value) { dcb.StopBits = LowByteOfEntry(CommStopBits, value, "Stop bits"); }

void SetFlowControl(DCB& dcb, TFlowControl value)
{
    switch (value) {
    case fcNone:
        dcb.Flags = fBinary;
        break;
    case fcCTS:
        dcb.Flags |= fOutxCtsFlow | fRtsControlHandshake;
        break;
    case fcDTR:
        dcb.Flags |= fOutxDsrFlow | fDtrControlHandshake;
        break;
    case fcSoftware:
        dcb.Flags |= fOutX | fInX;
        break;
    case fcDefault:
        break;
    default:
        throw EkxComException(QStringLiteral("Flow control out of range (%1)").arg(unsigned{value}));
    }
}

TcmBaudrate GetBaudRate(const DCB& dcb) { return BaudRateTocmBaudRate(dcb.BaudRate); }

TDatabits GetDataBits(const DCB& dcb) { return DataBitsToTDatabits(dcb.ByteSize); }

TcmParity GetParity(const DCB& dcb)
{
    const int position = PositionOf(CommParity, dcb.Parity);
    if (position < 0)
        throw EkxComException(QStringLiteral("Parity out of range (%1)").arg(dcb.Parity));
    return static_cast<TcmParity>(position);
}

TStopbits GetStopbits(const DCB& dcb)
{
    const int position = PositionOf(CommStopBits, dcb.StopBits);
    if (position < 0)
        throw EkxComException(QStringLiteral("Stop bits out of range (%1)").arg(dcb.StopBits));
    return static_cast<TStopbits>(position);
}

int GetBitsPerChar(const DCB& dcb)
{
    return 2 + static_cast<int>(CommDataBits[GetDataBits(dcb)]) + (GetParity(dcb) != paNone ? 1 : 0)
        + (GetStopbits(dcb) != sb10 ? 1 : 0);
}

TcmBaudrate BaudRateTocmBaudRate(std::uint32_t rate)
{
    // The first supported rate at or above the requested one; the last when there is none.
    const auto found = std::lower_bound(TcmBaudrateToBaudRate.begin(), TcmBaudrateToBaudRate.end(), rate);
    if (found == TcmBaudrateToBaudRate.end())
        return br256000;
    return static_cast<TcmBaudrate>(found - TcmBaudrateToBaudRate.begin());
}

TDatabits DataBitsToTDatabits(std::uint32_t bits)
{
    const int position = PositionOf(CommDataBits, bits);
    if (position < 0)
        RaiseDataBitsOutOfRange(bits);
    return static_cast<TDatabits>(position);
}

// ---- Device names ----

bool CheckTCPServer(const QString& S) { return HasPrefix(S, _TCPServer); }

bool CheckUDPServer(const QString& S) { return HasPrefix(S, _UDPServer); }

bool CheckTCPSocket(const QString& S) { return HasPrefix(S, _TCPSocket); }

bool CheckTCPPath(const QString& S) { return HasPrefix(S, _TCPPrefix) || CheckTCPServer(S) || CheckTCPSocket(S); }

bool CheckUDPPath(const QString& S) { return HasPrefix(S, _UDPPrefix) || CheckUDPServer(S); }

bool CheckDefered(const QString& S) { return HasPrefix(S, _DeferedPrefix); }

QString CheckComName(const QString& S)
{
    static const QString deviceNamespace = QStringLiteral("\\\\.\\");
    if (S.isEmpty() || CheckTCPPath(S) || CheckDefered(S) || CheckUDPPath(S) || S.contains(deviceNamespace))
        return S;
    return deviceNamespace + TrimBlanks(S).toString();
}

QString DeviceAddressPart(const QString& deviceName)
{
    const qsizetype colon = deviceName.indexOf(u':');
    return colon < 0 ? QString() : deviceName.mid(colon + 1);
}

THostPort ParseHostPort(const QString& address)
{
    QStringView host = address;
    QStringView port;
    const bool bracketed = address.startsWith(u'[') && address.contains(u']');
    if (bracketed) {
        const qsizetype close = address.indexOf(u']');
        host = QStringView(address).sliced(1, close - 1);
        const QStringView rest = QStringView(address).sliced(close + 1);
        if (rest.startsWith(u':'))
            port = rest.sliced(1);
    } else if (const qsizetype colon = address.indexOf(u':'); colon >= 0) {
        host = QStringView(address).first(colon);
        port = QStringView(address).sliced(colon + 1);
    }
    host = TrimBlanks(host);
    port = TrimBlanks(port);
    return {host.isEmpty() ? QStringLiteral("localhost") : host.toString(),
        port.isEmpty() ? QStringLiteral("80") : port.toString()};
}

int DeviceSocketHandle(const QString& deviceName)
{
    const QString addressPart = DeviceAddressPart(deviceName);
    const QStringView number = TrimBlanks(addressPart);
    // Decimal digits only: a sign, blanks inside or another base are not a handle.
    if (number.isEmpty() || !std::all_of(number.begin(), number.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return -1;
    bool ok = false;
    const int handle = number.toInt(&ok, 10);
    return ok ? handle : -1;
}

QString DeferedDevicePath(const QString& deviceName)
{
    const qsizetype colon = deviceName.indexOf(u':');
    return colon < 0 ? QString() : deviceName.mid(colon + 2);
}

// ---- Log categories ----

namespace {

const std::array<QString, LogCategoryCount>& LogCategoryNames()
{
    static const std::array<QString, LogCategoryCount> names = {
        QStringLiteral("lgErrorLevel1"), QStringLiteral("lgErrorLevel2"), QStringLiteral("lgErrorLevel3"),
        QStringLiteral("lgTx"), QStringLiteral("lgRx"), QStringLiteral("lgConnect"),
        QStringLiteral("lgDisconnect"), QStringLiteral("lgAll"), QStringLiteral("lgOther")};
    return names;
}

} // namespace

QString LogCategoryName(TLogCategory category)
{
    return category < LogCategoryCount ? LogCategoryNames()[category] : QString();
}

TLogCategorySet LogCategoriesFromText(const QString& text)
{
    TLogCategorySet result;
    for (const QStringView piece : QStringView(text).split(u',')) {
        const QStringView name = TrimBlanks(piece);
        for (int ordinal = 0; ordinal < LogCategoryCount; ++ordinal) {
            if (name.compare(LogCategoryNames()[ordinal], Qt::CaseInsensitive) == 0)
                result.Include(static_cast<TLogCategory>(ordinal));
        }
    }
    return result;
}

// ---- Ini keys ----

namespace {

QString ReadDeviceName(const TIniFile& ini, const QString& section, const IComIniSettings& target)
{
    const QString deviceName = ini.ReadString(section, QStringLiteral("DeviceName"), QString());
    if (!deviceName.isEmpty())
        return deviceName;
    return ini.ReadString(section, QStringLiteral("ComPort"), target.DeviceName());
}

} // namespace

void ReadComSettingsFromIni(const TIniFile& ini, const QString& section, IComIniSettings& target)
{
    target.SetDeviceName(CheckComName(ReadDeviceName(ini, section, target)));

    const int baudRate = ini.ReadInteger(section, QStringLiteral("BaudRate"), 0);
    if (baudRate < 0)
        throw EkxComException(QStringLiteral("Baud rate out of range (%1)").arg(baudRate));
    if (baudRate != 0)
        target.SetBaudRate(BaudRateTocmBaudRate(static_cast<std::uint32_t>(baudRate)));

    // Checked as soon as it is read, so that a bad value stops the reading before "DTR".
    const int dataBits = ini.ReadInteger(section, QStringLiteral("DataBits"), 0);
    if (dataBits < 0)
        RaiseDataBitsOutOfRange(dataBits);
    const TDatabits dataBitsSetting = dataBits != 0 ? DataBitsToTDatabits(static_cast<std::uint32_t>(dataBits)) : da8;

    target.SetDTR(ini.ReadBool(section, QStringLiteral("DTR"), target.DTR()));
    if (dataBits != 0)
        target.SetDataBits(dataBitsSetting);
    target.SetLineSleep(ini.ReadInteger(section, QStringLiteral("LineSleep"), target.LineSleep()));
    target.SetTCPTimeOut(ini.ReadInteger(section, QStringLiteral("TCPTimeOut"), target.TCPTimeOut()));
    target.SetEnableLoggingToFile(ini.ReadBool(section, QStringLiteral("LoggingToFile"), target.EnableLoggingToFile()));
    target.SetLogFileName(ini.ReadString(section, QStringLiteral("LoggingFile"), target.LogFileName()));

    const QString fileOptions = ini.ReadString(section, QStringLiteral("LoggingToFileOptions"), QString());
    if (!fileOptions.isEmpty())
        target.SetLogToFileOptions(LogCategoriesFromText(fileOptions));
}
