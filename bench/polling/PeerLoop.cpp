#include "PeerLoop.h"
#include "Simulator.h"
#include "Sockets.h"
#include "epsnet/kxEPSNET_frames.h"
#include <unistd.h>

namespace {

constexpr int Length = 246;

} // namespace

TRates MeasureSimulatorPeer(bool udp, const char* address, const TTiming& timing)
{
    TRates result;
    result.Name = QStringLiteral("(s)  bare to plcsim %1").arg(udp ? "UDP" : "TCP");
    TSimulator simulator(address);
    if (!simulator.Ready()) {
        result.Error = simulator.Error();
        return result;
    }
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    const sockaddr_in peer = Loopback(address, quint16(simulator.Port(udp ? "udp" : "tcp").toUInt()));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        result.Error = QStringLiteral("the client could not connect");
        return result;
    }
    if (!udp)
        NoDelay(fd);
    const timeval timeOut{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeOut, sizeof timeOut);

    const QByteArray frame = FormatReadN(0, 126, _epsnet_r, 0, Length);
    std::uint16_t mesi = 0;
    char answer[MaxDatagramSize];
    const auto exchange = [&] {
        mesi = NextMESI(mesi);
        const QByteArray wire = WrapFrame(frame, udp, mesi);
        if (::send(fd, wire.constData(), std::size_t(wire.size()), MSG_NOSIGNAL) != wire.size())
            return false;
        if (udp)
            return ::recv(fd, answer, sizeof answer, 0) >= UdpHeaderSize + ReadAnswerSize(Length);
        // A pad byte after the odd-sized answer is taken with it when it is there already.
        if (!ReadAll(fd, answer, ReadAnswerSize(Length)))
            return false;
        (void)::recv(fd, answer, sizeof answer, MSG_DONTWAIT);
        return true;
    };
    result.PerSecond = MeasureOnWorker(exchange, timing, result.Error);
    ::close(fd);
    return result;
}
