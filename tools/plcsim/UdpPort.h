#pragma once
#include "SlaveFrames.h"
#include <QHostAddress>
#include <QObject>
#include <array>
#include <sys/socket.h>
#include <sys/uio.h>

class QSocketNotifier;
class TSimAnswerer;

// EPSNET over UDP: one frame per datagram behind the 6-byte header, which the answer echoes with
// the request's identifier, also when the answer is held back by the delay fault. The socket is
// served through its descriptor: one call per wake-up takes the datagrams waiting, and they are
// answered from buffers of the port's own, so that a request costs the wait, one read and one
// send, and no allocation.
class TSimUdpPort : public QObject {
    Q_OBJECT
public:
    explicit TSimUdpPort(TSimAnswerer& answerer, QObject* owner = nullptr);
    ~TSimUdpPort() override;
    TSimUdpPort(const TSimUdpPort&) = delete;
    TSimUdpPort& operator=(const TSimUdpPort&) = delete;

    // Raises Exception when the port cannot be bound. Port 0 takes any free port.
    void Bind(const QHostAddress& address, quint16 port);
    quint16 Port() const;

private:
    struct TPeer {
        sockaddr_storage Address{};
        socklen_t Length = 0;
    };
    // Datagrams taken by one call: all that a master or a burst of them left waiting, as a rule.
    static constexpr unsigned BatchSize = 8;
    // The buffers of one call that reads several datagrams.
    struct TBatch {
        std::array<std::array<char, MaxDatagramSize>, BatchSize> Data{};
        std::array<TPeer, BatchSize> Peers{};
        std::array<iovec, BatchSize> Vectors{};
        std::array<mmsghdr, BatchSize> Headers{};
    };

    // Reads what is waiting, up to a batch; gives how many datagrams, or -1 with errno.
    int ReceiveBatch();
    void ReadDatagrams();
    void Serve(QByteArrayView datagram, const TPeer& peer);
    void Send(QByteArrayView reply, const TPeer& peer) const;
    // Sends from a socket of its own on address (empty: the port's own address, another port).
    void SendForeign(QByteArrayView reply, const TPeer& peer, const QString& address) const;

    TSimAnswerer& FAnswerer;
    int FFd = -1;
    QHostAddress FAddress;
    QSocketNotifier* FNotifier = nullptr;
    TBatch FBatch;
    SlaveFrames::TDatagramBuffer FReply{};
};
