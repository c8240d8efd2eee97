#include "UdpPort.h"
#include "Answerer.h"
#include "platform/Exceptions.h"
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace {

// The socket address of an IPv4 or IPv6 address and a port.
std::pair<sockaddr_storage, socklen_t> SocketAddress(const QHostAddress& address, quint16 port)
{
    sockaddr_storage storage{};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        return {storage, socklen_t(sizeof(sockaddr_in6))};
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(address.toIPv4Address());
    return {storage, socklen_t(sizeof(sockaddr_in))};
}

} // namespace

TSimUdpPort::TSimUdpPort(TSimAnswerer& answerer, QObject* owner) : QObject(owner), FAnswerer(answerer) {}

TSimUdpPort::~TSimUdpPort()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TSimUdpPort::Bind(const QHostAddress& address, quint16 port)
{
    FAddress = address;
    const auto [socketAddress, length] = SocketAddress(address, port);
    FFd = ::socket(socketAddress.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<const sockaddr*>(&socketAddress), length) != 0)
        throw Exception(QStringLiteral("Cannot bind UDP %1:%2: %3").arg(address.toString()).arg(port).arg(QString::fromLocal8Bit(std::strerror(errno))));
    FNotifier = new QSocketNotifier(FFd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSimUdpPort::ReadDatagrams);
}

quint16 TSimUdpPort::Port() const
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (FFd < 0 || ::getsockname(FFd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return 0;
    // The port lies at the same place in both address families.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

int TSimUdpPort::ReceiveBatch()
{
    for (unsigned i = 0; i < BatchSize; ++i) {
        FBatch.Vectors[i] = {FBatch.Data[i].data(), FBatch.Data[i].size()};
        msghdr& header = FBatch.Headers[i].msg_hdr;
        header = {};
        header.msg_name = &FBatch.Peers[i].Address;
        header.msg_namelen = sizeof FBatch.Peers[i].Address;
        header.msg_iov = &FBatch.Vectors[i];
        header.msg_iovlen = 1;
    }
    return ::recvmmsg(FFd, FBatch.Headers.data(), BatchSize, MSG_DONTWAIT, nullptr);
}

void TSimUdpPort::ReadDatagrams()
{
    for (;;) {
        const int count = ReceiveBatch();
        if (count < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing waits. Other errors (an ICMP report of an earlier reply) say nothing
        // of the next datagram, which wakes the loop again.
        if (count <= 0)
            return;
        for (int i = 0; i < count; ++i) {
            ++FAnswerer.Counters().UdpDatagrams;
            FBatch.Peers[i].Length = FBatch.Headers[i].msg_hdr.msg_namelen;
            Serve(QByteArrayView(FBatch.Data[i].data(), FBatch.Headers[i].msg_len), FBatch.Peers[i]);
        }
        // A batch not full took everything: waiting for the next wake-up costs no call in vain.
        if (unsigned(count) < BatchSize)
            return;
    }
}

void TSimUdpPort::Serve(QByteArrayView datagram, const TPeer& peer)
{
    FAnswerer.Log("<", "udp", datagram);
    const auto request = SlaveFrames::SplitDatagram(datagram);
    if (!request) {
        ++FAnswerer.Counters().BadFrames;
        return;
    }
    const QByteArrayView answer = FAnswerer.Answer(request->Frame);
    if (answer.isEmpty())
        return;
    TSimFaults& faults = FAnswerer.Faults();
    std::uint16_t identifier = request->Identifier;
    if (TSimFaults::Take(faults.WrongIdAnswers)) {
        identifier = static_cast<std::uint16_t>(identifier - 1); // the answer to an older request
        ++FAnswerer.Counters().WrongIdAnswers;
    }
    const QByteArrayView reply(FReply.data(), SlaveFrames::WrapAnswer(answer, identifier, request->PN, FReply));
    FAnswerer.Log(">", "udp", reply);
    if (TSimFaults::Take(faults.JunkAnswers)) {
        ++FAnswerer.Counters().Junk;
        Send(SlaveFrames::JunkBytes(), peer);
    }
    if (TSimFaults::Take(faults.ForeignAnswers)) {
        ++FAnswerer.Counters().ForeignSent;
        SendForeign(SlaveFrames::Forged(reply), peer, faults.ForeignAddress);
    }
    const int copies = TSimFaults::Take(faults.DuplicatedAnswers) ? 2 : 1;
    if (copies > 1)
        ++FAnswerer.Counters().Duplicated;
    if (!TSimFaults::Take(faults.DelayedAnswers)) {
        for (int i = 0; i < copies; ++i)
            Send(reply, peer);
        return;
    }
    // Held with the identifier of its own request: a master that has moved on sees an old one.
    ++FAnswerer.Counters().Delayed;
    QTimer::singleShot(faults.DelayMs, Qt::PreciseTimer, this, [this, held = reply.toByteArray(), peer, copies] {
        for (int i = 0; i < copies; ++i)
            Send(held, peer);
    });
}

void TSimUdpPort::SendForeign(QByteArrayView reply, const TPeer& peer, const QString& address) const
{
    const QHostAddress from = address.isEmpty() ? FAddress : QHostAddress(address);
    const auto [socketAddress, length] = SocketAddress(from, 0);
    const int fd = ::socket(socketAddress.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0)
        ::sendto(fd, reply.data(), std::size_t(reply.size()), 0, reinterpret_cast<const sockaddr*>(&peer.Address), peer.Length);
    ::close(fd);
}

void TSimUdpPort::Send(QByteArrayView reply, const TPeer& peer) const
{
    // A full send buffer loses the answer, as a busy line would; the master asks again.
    while (::sendto(FFd, reply.data(), std::size_t(reply.size()), 0, reinterpret_cast<const sockaddr*>(&peer.Address), peer.Length) < 0 &&
           errno == EINTR) {
    }
}
