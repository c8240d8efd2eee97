// Feeds arbitrary text to the device-name functions: whatever the text, classification names at
// most one transport, normalisation is stable, the address parts come out complete, and a bad
// line-setting value is an EPacketException, never a crash or another exception.
#include "comm/kxasync_packets.h"
#include "comm/kxasync_settings.h"
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void CheckClassification(const QString& name)
{
    const bool tcpClient = CheckTCPPath(name) && !CheckTCPServer(name) && !CheckTCPSocket(name);
    const bool udpClient = CheckUDPPath(name) && !CheckUDPServer(name);
    const int kinds = int{tcpClient} + int{udpClient} + int{CheckTCPServer(name)} + int{CheckTCPSocket(name)}
        + int{CheckUDPServer(name)} + int{CheckDefered(name)};
    Require(kinds <= 1);

    const QString normalised = CheckComName(name);
    Require(CheckComName(normalised) == normalised);
    if (kinds == 1 || name.isEmpty())
        Require(normalised == name);
    else
        Require(normalised.contains(QStringLiteral("\\\\.\\")));
    // Normalising never turns a serial port into another transport.
    Require(CheckTCPPath(normalised) == CheckTCPPath(name) && CheckUDPPath(normalised) == CheckUDPPath(name)
        && CheckDefered(normalised) == CheckDefered(name));
}

void CheckAddressParts(const QString& name)
{
    const THostPort address = ParseHostPort(DeviceAddressPart(name));
    Require(!address.Host.isEmpty() && !address.Port.isEmpty());
    Require(DeviceSocketHandle(name) >= -1);
    Require(DeferedDevicePath(name).size() <= name.size());
    LogCategoriesFromText(name);
}

void CheckLineSettings(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return;
    std::uint32_t number = 0;
    std::memcpy(&number, data, sizeof(number));
    const TcmBaudrate rate = BaudRateTocmBaudRate(number);
    Require(rate <= br256000);
    Require(number > TcmBaudrateToBaudRate[br256000] || TcmBaudrateToBaudRate[rate] >= number);
    try {
        Require(CommDataBits[DataBitsToTDatabits(number)] == number);
    } catch (const EPacketException&) {
        Require(number < 4 || number > 8);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString utf8 = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The same bytes as UTF-16 reach characters that UTF-8 decoding would replace.
    QString utf16(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, size / 2 * sizeof(char16_t));
    for (const QString& name : {utf8, utf16}) {
        CheckClassification(name);
        CheckAddressParts(name);
    }
    CheckLineSettings(data, size);
    return 0;
}
