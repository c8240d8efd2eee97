#pragma once
#include "platform/Exceptions.h"
#include <QString>
#include <array>
#include <cstdint>
#include <initializer_list>

class TIniFile;

// Device names and serial line settings of a communication line: how the one text that points a
// line at its peer is classified and taken apart, the line-setting enumerations with their values
// in the serial DCB record, and the ini keys a communication component reads.

// Configuration errors of the communication engine.
VOCATOR_DECLARE_EXCEPTION(EkxComException, Exception)

// ---- Line-setting enumerations (ordinal = position) ----

enum TcmBaudrate : std::uint8_t {
    br110, br150, br300, br600, br1200, br2400, br4800, br9600,
    br14400, br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TDatabits : std::uint8_t { da4, da5, da6, da7, da8 };
enum TcmParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
// One, one and a half, two stop bits.
enum TStopbits : std::uint8_t { sb10, sb15, sb20 };
enum TFlowControl : std::uint8_t { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };

// Values of the DCB's StopBits and Parity bytes.
inline constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;

// What each enumeration value puts into the DCB, indexed by its ordinal.
inline constexpr std::array<std::uint32_t, 16> TcmBaudrateToBaudRate = {
    110, 150, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
inline constexpr std::array<std::uint32_t, 5> CommDataBits = {4, 5, 6, 7, 8};
inline constexpr std::array<std::uint32_t, 3> CommStopBits = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
inline constexpr std::array<std::uint32_t, 5> CommParity = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};

// ---- The serial line record ----

// Bits of the DCB's flag word, in the bit-field layout of the Windows record.
inline constexpr std::uint32_t fBinary = 0x1;
inline constexpr std::uint32_t fParity = 0x2;
inline constexpr std::uint32_t fOutxCtsFlow = 0x4;
inline constexpr std::uint32_t fOutxDsrFlow = 0x8;
inline constexpr std::uint32_t fDtrControl = 0x30;
inline constexpr std::uint32_t fDtrControlDisable = 0x0;
inline constexpr std::uint32_t fDtrControlEnable = 0x10;
inline constexpr std::uint32_t fDtrControlHandshake = 0x20;
inline constexpr std::uint32_t fDsrSensitivity = 0x40;
inline constexpr std::uint32_t fTXContinueOnXoff = 0x80;
inline constexpr std::uint32_t fOutX = 0x100;
inline constexpr std::uint32_t fInX = 0x200;
inline constexpr std::uint32_t fErrorChar = 0x400;
inline constexpr std::uint32_t fNull = 0x800;
inline constexpr std::uint32_t fRtsControl = 0x3000;
inline constexpr std::uint32_t fRtsControlDisable = 0x0;
inline constexpr std::uint32_t fRtsControlEnable = 0x1000;
inline constexpr std::uint32_t fRtsControlHandshake = 0x2000;
inline constexpr std::uint32_t fRtsControlToggle = 0x3000;
inline constexpr std::uint32_t fAbortOnError = 0x4000;

// The serial line settings in the field layout of the Windows record; the transports map it onto
// the terminal settings of the port.
struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28);

// One line setting changed in a DCB; the communication thread reads its record, calls one of
// these and hands the record back (its members of the same names reach them as ::SetBaudRate and
// so on). An enumeration value outside its range raises EkxComException.
void SetBaudRate(DCB& dcb, TcmBaudrate value);
void SetDataBits(DCB& dcb, TDatabits value);
void SetParity(DCB& dcb, TcmParity value);
void SetStopbits(DCB& dcb, TStopbits value);
// fcNone leaves exactly fBinary; fcCTS, fcDTR and fcSoftware add their bits and clear nothing;
// fcDefault keeps the flag word the driver reported.
void SetFlowControl(DCB& dcb, TFlowControl value);

// The setting a DCB holds. A byte that matches no table entry raises: EPacketException "Data
// bits out of range (%d)" for the byte size, EkxComException for parity and stop bits.
TcmBaudrate GetBaudRate(const DCB& dcb);
TDatabits GetDataBits(const DCB& dcb);
TcmParity GetParity(const DCB& dcb);
TStopbits GetStopbits(const DCB& dcb);
// Bits one character occupies on the line: start bit, data bits, parity bit, stop bits (one and
// a half counting as two).
int GetBitsPerChar(const DCB& dcb);

// Rounds any rate up to the next supported one; rates above 128000 give br256000.
TcmBaudrate BaudRateTocmBaudRate(std::uint32_t rate);
// Raises EPacketException "Data bits out of range (%d)" for a count outside 4..8.
TDatabits DataBitsToTDatabits(std::uint32_t bits);

// ---- Device names ----

inline const QString _TCPPrefix = QStringLiteral("TCP:");
inline const QString _TCPServer = QStringLiteral("TCPSERVER:");
inline const QString _TCPSocket = QStringLiteral("TCPSOCKET:");
inline const QString _UDPPrefix = QStringLiteral("UDP:");
inline const QString _UDPServer = QStringLiteral("UDPSERVER:");
inline const QString _DeferedPrefix = QStringLiteral("DEFERED:");

// The prefix tests look at the name without leading and trailing characters up to code 32 and
// compare ASCII letters without regard to case. The prefixes exclude each other; a name with
// none of them is a serial port.
bool CheckTCPServer(const QString& S);
bool CheckUDPServer(const QString& S);
bool CheckTCPSocket(const QString& S);
// Any TCP kind: client, server or taken-over socket.
bool CheckTCPPath(const QString& S);
// Any UDP kind: client or server.
bool CheckUDPPath(const QString& S);
bool CheckDefered(const QString& S);

// A serial port name without the device-namespace prefix "\\.\" gets it, before the trimmed
// name; network names, deferred names, names that already hold the prefix and the empty text
// are returned unchanged.
QString CheckComName(const QString& S);

// The address part of a device name: the text after its first colon (empty without a colon).
QString DeviceAddressPart(const QString& deviceName);

// Host and port of a network address "host:port". A missing port is "80", an empty host is
// "localhost"; an IPv6 host is written in brackets, "[::1]:502". Blanks around either are dropped.
struct THostPort {
    QString Host;
    QString Port;
};
THostPort ParseHostPort(const QString& address);

// The socket handle of a "TCPSOCKET:" name: the decimal number after the colon, -1 when that is
// not a non-negative number.
int DeviceSocketHandle(const QString& deviceName);

// The device path of a "DEFERED:" name: one separator character after the colon is skipped and
// the rest is the path, used as it stands.
QString DeferedDevicePath(const QString& deviceName);

// ---- Log categories ----

enum TLogCategory : std::uint8_t {
    lgErrorLevel1, lgErrorLevel2, lgErrorLevel3, lgTx, lgRx, lgConnect, lgDisconnect, lgAll, lgOther
};
inline constexpr int LogCategoryCount = lgOther + 1;

// The category's name as written in ini files, such as "lgConnect".
QString LogCategoryName(TLogCategory category);

// A set of log categories: bit n stands for the category of ordinal n, so {lgAll} is 0x0080.
class TLogCategorySet {
public:
    constexpr TLogCategorySet() = default;
    constexpr TLogCategorySet(std::initializer_list<TLogCategory> categories)
    {
        for (TLogCategory category : categories)
            Include(category);
    }
    static constexpr TLogCategorySet FromBits(std::uint16_t bits)
    {
        TLogCategorySet set;
        set.FBits = bits;
        return set;
    }

    constexpr std::uint16_t Bits() const noexcept { return FBits; }
    constexpr bool Contains(TLogCategory category) const noexcept { return (FBits & Bit(category)) != 0; }
    constexpr bool IsEmpty() const noexcept { return FBits == 0; }
    constexpr void Include(TLogCategory category) noexcept { FBits |= Bit(category); }
    constexpr void Exclude(TLogCategory category) noexcept { FBits &= static_cast<std::uint16_t>(~Bit(category)); }
    friend constexpr bool operator==(TLogCategorySet, TLogCategorySet) = default;

private:
    static constexpr std::uint16_t Bit(TLogCategory category) noexcept
    {
        return static_cast<std::uint16_t>(1u << (category & 0x0F));
    }
    std::uint16_t FBits = 0;
};

// A comma-separated list of category names: each piece is trimmed and matched without regard to
// case; pieces that name no category are skipped, so a list of unknown names gives the empty set.
TLogCategorySet LogCategoriesFromText(const QString& text);

// ---- Ini keys of a communication component ----

// The settings of a communication component that its ini section holds. The component implements
// this (or hands over an adapter) with its own property getters and setters, so that every key
// takes effect through the setter as soon as it is read.
class IComIniSettings {
public:
    virtual ~IComIniSettings() = default;

    virtual QString DeviceName() const = 0;
    virtual void SetDeviceName(const QString& value) = 0;
    virtual void SetBaudRate(TcmBaudrate value) = 0;
    virtual void SetDataBits(TDatabits value) = 0;
    virtual bool DTR() const = 0;
    virtual void SetDTR(bool value) = 0;
    virtual int LineSleep() const = 0;
    virtual void SetLineSleep(int value) = 0;
    virtual int TCPTimeOut() const = 0;
    virtual void SetTCPTimeOut(int value) = 0;
    virtual bool EnableLoggingToFile() const = 0;
    virtual void SetEnableLoggingToFile(bool value) = 0;
    virtual QString LogFileName() const = 0;
    virtual void SetLogFileName(const QString& value) = 0;
    virtual void SetLogToFileOptions(TLogCategorySet value) = 0;
};

// The communication component's ReadFromIni, called with its IniFileSection before a derived
// component reads its own keys. Reads the keys of section in this order and applies each one
// to target, keeping the current value where a key is absent:
//   "DeviceName" (when empty or absent, "ComPort"; normalised by CheckComName),
//   "BaudRate" (bits per second, 0 keeps the current rate),
//   "DataBits" (0 keeps the current setting; converted here but applied after "DTR"),
//   "DTR", "LineSleep", "TCPTimeOut", "LoggingToFile", "LoggingFile",
//   "LoggingToFileOptions" (empty keeps the current set).
// A "DataBits" value outside 4..8 raises EPacketException "Data bits out of range (%d)" with the
// keys before it applied and "DTR" not yet read; a negative "BaudRate" raises EkxComException
// "Baud rate out of range (%d)" with "DeviceName" applied.
void ReadComSettingsFromIni(const TIniFile& ini, const QString& section, IComIniSettings& target);
