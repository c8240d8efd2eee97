#include "comm/kxasync_packets.h"
#include "comm/kxasync_settings.h"
#include "platform/IniFile.h"
#include "TestSupport.h"
#include "QtPrinters.h"
#include <gtest/gtest.h>
#include <cstddef>
#include <limits>

// The record must keep the Windows field layout that stored settings and the serial mapping use.
static_assert(offsetof(DCB, BaudRate) == 4 && offsetof(DCB, Flags) == 8 && offsetof(DCB, XonLim) == 14
    && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, Parity) == 19 && offsetof(DCB, StopBits) == 20
    && offsetof(DCB, XonChar) == 21 && offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26);

namespace {

// The transport flags a communication thread derives from its device name.
struct TKinds {
    bool TCP, UDP, TCPServer, TCPSocket, UDPServer, Defered;
    bool operator==(const TKinds&) const = default;
};

TKinds KindsOf(const QString& name)
{
    return {CheckUDPPath(name) || CheckTCPPath(name), CheckUDPPath(name), CheckTCPServer(name),
        CheckTCPSocket(name), CheckUDPServer(name), CheckDefered(name)};
}

std::ostream& operator<<(std::ostream& out, const TKinds& k)
{
    return out << "TCP " << k.TCP << " UDP " << k.UDP << " TCPServer " << k.TCPServer << " TCPSocket "
               << k.TCPSocket << " UDPServer " << k.UDPServer << " Defered " << k.Defered;
}

// Stands in for the communication component: records every setter call in order.
class TRecordingSettings : public IComIniSettings {
public:
    QString DeviceName() const override { return FDeviceName; }
    void SetDeviceName(const QString& value) override { Record("DeviceName=" + value); FDeviceName = value; }
    void SetBaudRate(TcmBaudrate value) override { Record("BaudRate=" + QString::number(value)); }
    void SetDataBits(TDatabits value) override { Record("DataBits=" + QString::number(value)); }
    bool DTR() const override { return FDTR; }
    void SetDTR(bool value) override { Record(QStringLiteral("DTR=%1").arg(value ? "true" : "false")); FDTR = value; }
    int LineSleep() const override { return FLineSleep; }
    void SetLineSleep(int value) override { Record("LineSleep=" + QString::number(value)); FLineSleep = value; }
    int TCPTimeOut() const override { return FTCPTimeOut; }
    void SetTCPTimeOut(int value) override { Record("TCPTimeOut=" + QString::number(value)); FTCPTimeOut = value; }
    bool EnableLoggingToFile() const override { return FLogging; }
    void SetEnableLoggingToFile(bool value) override { Record(QStringLiteral("LoggingToFile=%1").arg(value ? "true" : "false")); FLogging = value; }
    QString LogFileName() const override { return FLogFileName; }
    void SetLogFileName(const QString& value) override { Record("LoggingFile=" + value); FLogFileName = value; }
    void SetLogToFileOptions(TLogCategorySet value) override { Record("Options=" + QString::number(value.Bits(), 16)); }

    QStringList Calls;
    QString FDeviceName = QStringLiteral("\\\\.\\COM2");
    bool FDTR = true;
    int FLineSleep = 3;
    int FTCPTimeOut = 2000;
    bool FLogging = false;
    QString FLogFileName = QStringLiteral("old.log");

private:
    void Record(const QString& call) { Calls.append(call); }
};

// Reads section "Line" of an ini file with the given body into settings.
void ReadIni(const QByteArray& body, IComIniSettings& settings)
{
    TestSupport::TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("line.ini"), body);
    TIniFile ini(dir.File("line.ini"));
    ReadComSettingsFromIni(ini, QStringLiteral("Line"), settings);
}

} // namespace

// Each prefix selects exactly one transport, whatever its case and leading blanks; anything else
// is a serial port.
TEST(DeviceNames, ClassificationOfEveryKind)
{
    const TKinds serial{false, false, false, false, false, false};
    const TKinds tcpClient{true, false, false, false, false, false};
    const TKinds udpClient{true, true, false, false, false, false};
    const TKinds tcpServer{true, false, true, false, false, false};
    const TKinds tcpSocket{true, false, false, true, false, false};
    const TKinds udpServer{true, true, false, false, true, false};
    const TKinds defered{false, false, false, false, false, true};
    const std::vector<std::pair<QString, TKinds>> table = {
        {"TCP:192.168.1.5:61682", tcpClient},
        {"tcp:plc:502", tcpClient},
        {" \tTcP:plc:502", tcpClient},
        {"UDP:plc:61682", udpClient},
        {"\x01udp:plc", udpClient},
        {"TCPSERVER:0.0.0.0:502", tcpServer},
        {"tcpserver:", tcpServer},
        {"TCPSOCKET:12", tcpSocket},
        {"UDPSERVER:0.0.0.0:61682", udpServer},
        {"DEFERED: /dev/ttyUSB0", defered},
        {" defered:x", defered},
        {"COM1", serial},
        {"\\\\.\\COM12", serial},
        {"/dev/ttyS0", serial},
        {"", serial},
        {"TCP", serial},
        {"TCPS:plc", serial},
        {"UDPSERVE", serial},
        {"xTCP:plc:502", serial},
        // Only ASCII letters fold: the long s is not an "S".
        {QString::fromUtf8("TCP\xC5\xBF" "ERVER:plc:502"), serial},
    };
    for (const auto& [name, expected] : table)
        EXPECT_EQ(KindsOf(name), expected) << name.toStdString();
}

// A serial port name gains the device-namespace prefix once; everything else passes unchanged.
TEST(DeviceNames, CheckComNameNormalisesSerialPortsOnly)
{
    const std::vector<std::pair<QString, QString>> table = {
        {"COM1", "\\\\.\\COM1"},
        {"  COM1 ", "\\\\.\\COM1"},
        {"/dev/ttyUSB0", "\\\\.\\/dev/ttyUSB0"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {" \\\\.\\COM12 ", " \\\\.\\COM12 "},
        {"TCP:plc:502", "TCP:plc:502"},
        {" udpserver:0.0.0.0:1", " udpserver:0.0.0.0:1"},
        {"TCPSOCKET:5", "TCPSOCKET:5"},
        {"DEFERED:x/dev/ttyS1", "DEFERED:x/dev/ttyS1"},
        {"", ""},
    };
    for (const auto& [name, expected] : table) {
        EXPECT_EQ(CheckComName(name), expected) << name.toStdString();
        EXPECT_EQ(CheckComName(CheckComName(name)), expected) << name.toStdString();
    }
}

// Network addresses split into host and port after the first colon, with the two defaults.
TEST(DeviceNames, HostAndPortOfNetworkNames)
{
    struct TRow {
        QString deviceName, host, port;
    };
    for (const TRow& row : {TRow{"TCP:192.168.1.5:61682", "192.168.1.5", "61682"},
             TRow{" tcp:plc:502", "plc", "502"},
             TRow{"UDP:plc", "plc", "80"},
             TRow{"UDP:plc:", "plc", "80"},
             TRow{"TCPSERVER::502", "localhost", "502"},
             TRow{"TCP:", "localhost", "80"},
             TRow{"TCP: plc : 502 ", "plc", "502"},
             TRow{"UDP:[::1]:61682", "::1", "61682"},
             TRow{"UDP:[fe80::1]", "fe80::1", "80"}}) {
        const THostPort address = ParseHostPort(DeviceAddressPart(row.deviceName));
        EXPECT_EQ(address.Host, row.host) << row.deviceName.toStdString();
        EXPECT_EQ(address.Port, row.port) << row.deviceName.toStdString();
    }
    EXPECT_EQ(DeviceAddressPart("COM1"), "");
}

// A taken-over socket is a non-negative decimal handle; anything else reads as -1.
TEST(DeviceNames, SocketHandleOfTakenOverSockets)
{
    EXPECT_EQ(DeviceSocketHandle("TCPSOCKET:17"), 17);
    EXPECT_EQ(DeviceSocketHandle(" tcpsocket: 0 "), 0);
    for (const char* bad : {"TCPSOCKET:", "TCPSOCKET:abc", "TCPSOCKET:-3", "TCPSOCKET:1 2", "TCPSOCKET:$1F",
             "TCPSOCKET:99999999999", "TCPSOCKET"}) {
        EXPECT_EQ(DeviceSocketHandle(QString::fromLatin1(bad)), -1) << bad;
    }
}

// The deferred path skips one separator after the colon, whatever the case of the prefix.
TEST(DeviceNames, DeferedPathSkipsTheSeparator)
{
    EXPECT_EQ(DeferedDevicePath("DEFERED:x/dev/ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(DeferedDevicePath(" defered: \\\\.\\COM3"), "\\\\.\\COM3");
    EXPECT_EQ(DeferedDevicePath("DEFERED:"), "");
    EXPECT_EQ(DeferedDevicePath("DEFERED:x"), "");
}

// Any rate rounds up to the next supported one; each supported rate maps onto itself.
TEST(LineSettings, BaudRatesRoundUp)
{
    const std::vector<std::pair<std::uint32_t, TcmBaudrate>> table = {
        {0, br110}, {110, br110}, {111, br150}, {9600, br9600}, {9601, br14400}, {56001, br57600},
        {128000, br128000}, {128001, br256000}, {1'000'000, br256000},
        {std::numeric_limits<std::uint32_t>::max(), br256000}};
    for (const auto& [rate, expected] : table)
        EXPECT_EQ(BaudRateTocmBaudRate(rate), expected) << rate;
    for (int ordinal = br110; ordinal <= br256000; ++ordinal)
        EXPECT_EQ(BaudRateTocmBaudRate(TcmBaudrateToBaudRate[ordinal]), ordinal);
}

// Data bits 4 to 8 have a setting; any other count raises with the count in the message.
TEST(LineSettings, DataBitsOutsideFourToEightRaise)
{
    for (std::uint32_t bits = 4; bits <= 8; ++bits)
        EXPECT_EQ(CommDataBits[DataBitsToTDatabits(bits)], bits);
    for (std::uint32_t bits : {0u, 3u, 9u}) {
        try {
            DataBitsToTDatabits(bits);
            ADD_FAILURE() << bits;
        } catch (const EPacketException& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Data bits out of range (%1)").arg(bits));
        }
    }
}

// Every setting written into a DCB reads back, in the byte the table gives; foreign bytes raise.
TEST(LineSettings, DcbFieldsRoundTrip)
{
    DCB dcb;
    EXPECT_EQ(dcb.DCBlength, 28u);
    for (int ordinal = br110; ordinal <= br256000; ++ordinal) {
        SetBaudRate(dcb, static_cast<TcmBaudrate>(ordinal));
        EXPECT_EQ(dcb.BaudRate, TcmBaudrateToBaudRate[ordinal]);
        EXPECT_EQ(GetBaudRate(dcb), ordinal);
    }
    for (int ordinal = da4; ordinal <= da8; ++ordinal) {
        SetDataBits(dcb, static_cast<TDatabits>(ordinal));
        EXPECT_EQ(dcb.ByteSize, CommDataBits[ordinal]);
        EXPECT_EQ(GetDataBits(dcb), ordinal);
    }
    for (int ordinal = paNone; ordinal <= paSpace; ++ordinal) {
        SetParity(dcb, static_cast<TcmParity>(ordinal));
        EXPECT_EQ(dcb.Parity, CommParity[ordinal]);
        EXPECT_EQ(GetParity(dcb), ordinal);
    }
    for (int ordinal = sb10; ordinal <= sb20; ++ordinal) {
        SetStopbits(dcb, static_cast<TStopbits>(ordinal));
        EXPECT_EQ(dcb.StopBits, CommStopBits[ordinal]);
        EXPECT_EQ(GetStopbits(dcb), ordinal);
    }

    EXPECT_THROW(SetParity(dcb, static_cast<TcmParity>(5)), EkxComException);
    EXPECT_THROW(SetBaudRate(dcb, static_cast<TcmBaudrate>(16)), EkxComException);
    EXPECT_EQ(dcb.Parity, SPACEPARITY);
    dcb.Parity = 9;
    EXPECT_THROW(GetParity(dcb), EkxComException);
    dcb.StopBits = 3;
    EXPECT_THROW(GetStopbits(dcb), EkxComException);
    dcb.ByteSize = 9;
    EXPECT_THROW(GetDataBits(dcb), EPacketException);
}

// None resets the flag word to binary mode; the handshakes add their bits; default keeps the
// driver's word.
TEST(LineSettings, FlowControlFlagWord)
{
    DCB dcb;
    dcb.Flags = fBinary | fDtrControlEnable;
    SetFlowControl(dcb, fcCTS);
    EXPECT_EQ(dcb.Flags, fBinary | fDtrControlEnable | 0x2004u);
    SetFlowControl(dcb, fcNone);
    EXPECT_EQ(dcb.Flags, fBinary);

    SetFlowControl(dcb, fcSoftware);
    SetFlowControl(dcb, fcCTS);
    EXPECT_EQ(dcb.Flags, fBinary | 0x300u | 0x2004u);
    SetFlowControl(dcb, fcDTR);
    EXPECT_EQ(dcb.Flags, fBinary | 0x300u | 0x2004u | 0x28u);

    dcb.Flags = 0x4081;
    SetFlowControl(dcb, fcDefault);
    EXPECT_EQ(dcb.Flags, 0x4081u);
    EXPECT_THROW(SetFlowControl(dcb, static_cast<TFlowControl>(7)), EkxComException);
}

// A character takes start bit, data bits, a parity bit if any and one or two stop bits.
TEST(LineSettings, BitsPerCharacter)
{
    struct TRow {
        TDatabits data;
        TcmParity parity;
        TStopbits stop;
        int bits;
    };
    for (const TRow& row : {TRow{da8, paEven, sb10, 11}, TRow{da8, paNone, sb20, 11}, TRow{da7, paNone, sb10, 9},
             TRow{da5, paMark, sb15, 9}, TRow{da4, paNone, sb10, 6}}) {
        DCB dcb;
        SetDataBits(dcb, row.data);
        SetParity(dcb, row.parity);
        SetStopbits(dcb, row.stop);
        EXPECT_EQ(GetBitsPerChar(dcb), row.bits) << int{row.data} << int{row.parity} << int{row.stop};
    }
}

// Category lists match trimmed names without regard to case and skip names they do not know.
TEST(LogCategories, ListsOfNames)
{
    EXPECT_EQ(LogCategoriesFromText(" lgrx , LGTX ,lgNothing"), (TLogCategorySet{lgTx, lgRx}));
    EXPECT_EQ(LogCategoriesFromText(" lgrx , LGTX ,lgNothing").Bits(), 0x0018);
    EXPECT_EQ(LogCategoriesFromText("lgErrorLevel1,lgConnect").Bits(), 0x0021);
    EXPECT_TRUE(LogCategoriesFromText("nothing, at all").IsEmpty());
    EXPECT_TRUE(LogCategoriesFromText(",,").IsEmpty());
    EXPECT_EQ((TLogCategorySet{lgAll}).Bits(), 0x0080);
    for (int ordinal = 0; ordinal < LogCategoryCount; ++ordinal) {
        const auto category = static_cast<TLogCategory>(ordinal);
        EXPECT_EQ(LogCategoriesFromText(LogCategoryName(category)), TLogCategorySet{category});
    }
}

// Every key of the section is applied in order, DataBits after DTR, the device name normalised.
TEST(ComIniSettings, EveryKeyInOrder)
{
    TRecordingSettings settings;
    ReadIni("[line]\n"
            "deviceName= COM3 \n"
            "ComPort=COM9\n"
            "BaudRate=19200\n"
            "DataBits=7\n"
            "DTR=0\n"
            "LineSleep=15\n"
            "TCPTimeOut=900\n"
            "LoggingToFile=1\n"
            "LoggingFile=/var/log/line.log\n"
            "LoggingToFileOptions=lgTx, lgRx\n",
        settings);
    EXPECT_EQ(settings.Calls, QStringList({"DeviceName=\\\\.\\COM3", "BaudRate=9", "DTR=false", "DataBits=3",
                                  "LineSleep=15", "TCPTimeOut=900", "LoggingToFile=true",
                                  "LoggingFile=/var/log/line.log", "Options=18"}));
}

// Absent keys keep the current values, and zero rates and bit counts keep the current settings.
TEST(ComIniSettings, AbsentKeysKeepTheCurrentValues)
{
    TRecordingSettings settings;
    ReadIni("[Line]\nBaudRate=0\nDataBits=0\nLoggingToFileOptions=\n[Other]\nDTR=0\n", settings);
    EXPECT_EQ(settings.Calls, QStringList({"DeviceName=\\\\.\\COM2", "DTR=true", "LineSleep=3", "TCPTimeOut=2000",
                                  "LoggingToFile=false", "LoggingFile=old.log"}));

    TRecordingSettings missingFile;
    TIniFile ini(QStringLiteral("/nonexistent/line.ini"));
    ReadComSettingsFromIni(ini, QStringLiteral("Line"), missingFile);
    EXPECT_EQ(missingFile.Calls, settings.Calls);
}

// An empty or absent "DeviceName" falls back to "ComPort", and that to the current name.
TEST(ComIniSettings, DeviceNameFallsBackToComPort)
{
    struct TRow {
        QByteArray body;
        QString deviceName;
    };
    for (const TRow& row : {TRow{"[Line]\nDeviceName=\nComPort=COM4\n", "\\\\.\\COM4"},
             TRow{"[Line]\nComPort=UDP:plc:61682\n", "UDP:plc:61682"},
             TRow{"[Line]\nDeviceName=TCP:plc:502\nComPort=COM4\n", "TCP:plc:502"},
             TRow{"[Line]\nComPort=\n", ""}}) {
        TRecordingSettings settings;
        settings.FDeviceName = "UDP:old:1";
        ReadIni(row.body, settings);
        EXPECT_EQ(settings.FDeviceName, row.deviceName) << row.body.toStdString();
    }
}

// A bad "DataBits" stops the reading: the device name and baud rate are applied, "DTR" is not.
TEST(ComIniSettings, BadDataBitsStopAfterTheBaudRate)
{
    for (const QByteArray& dataBits : {QByteArray("9"), QByteArray("-1")}) {
        TRecordingSettings settings;
        try {
            ReadIni("[Line]\nDeviceName=COM5\nBaudRate=115200\nDataBits=" + dataBits + "\nDTR=0\nLineSleep=1\n", settings);
            ADD_FAILURE() << dataBits.toStdString();
        } catch (const EPacketException& e) {
            EXPECT_EQ(e.Message(), "Data bits out of range (" + QString::fromLatin1(dataBits) + ")");
        }
        EXPECT_EQ(settings.Calls, QStringList({"DeviceName=\\\\.\\COM5", "BaudRate=13"}));
        EXPECT_TRUE(settings.FDTR);
    }

    TRecordingSettings negativeRate;
    EXPECT_THROW(ReadIni("[Line]\nDeviceName=COM5\nBaudRate=-9600\n", negativeRate), EkxComException);
    EXPECT_EQ(negativeRate.Calls, QStringList({"DeviceName=\\\\.\\COM5"}));
}
