// Feeds arbitrary datagrams to the master's answer handling: the check of the whole datagram, the
// data of a read answer that passed it and their copy into the RAM image. Every input ends in a valid result or an
// exception of ours; nothing is read or written outside a buffer.
#include "epsnet/kxEPSNET_frames.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "errorsystem/ErrorSystem.h"
#include <cstdint>
#include <cstdlib>

namespace {

TEpsnetThreadSafeTagList& Tags()
{
    static TEpsnetThreadSafeTagList tags;
    return tags;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartLogSystem();
    Tags().LoadFromString(QStringLiteral("Msg R B 100 STRING[40]\r\nCnt R W 0 INT\r\nLamp X B 0 .1 BOOL\r\nEnd S B 65530 UDINT\r\n"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first 6 bytes choose the request: area, address, length and the identifier sent last.
    if (size < 6)
        return 0;
    const auto area = static_cast<TEPSNETArea>(data[0] % EPSNETAreaCount);
    const int address = data[1] << 8 | data[2];
    const int length = data[3] % 250;
    const auto lastMESI = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
    const QByteArrayView datagram(reinterpret_cast<const char*>(data + 6), static_cast<qsizetype>(size - 6));

    const TAwaitedAnswer awaited = AwaitReadAnswer(0, 126, length);
    if (CheckUdpAnswer(datagram, lastMESI, awaited) != acValid)
        return 0;
    const QByteArrayView answer = UdpAnswerFrame(datagram, awaited);
    if (CheckAnswerFrame(answer, awaited) != acValid || (static_cast<std::uint8_t>(datagram[0]) << 8 | static_cast<std::uint8_t>(datagram[1])) != lastMESI)
        std::abort();
    try {
        const QByteArray values = ReadAnswerData(answer, length);
        if (values.size() != length)
            std::abort();
        TEPSNETPacket packet;
        packet.Area = area;
        packet.Address = address;
        packet.Length = length;
        packet.SetData(values);
        Tags().UpdateFromPacket(packet);
        (void)Tags().GetAsString(QStringLiteral("Msg"));
        (void)Tags().GetAsInteger(QStringLiteral("End"));
    } catch (const Exception&) {
        // A short answer or an answer beyond the image is refused with our exception.
    }
    return 0;
}
