#include "Slave.h"
#include "SerialLine.h"
#include "Stream.h"
#include "UdpPort.h"
#include "platform/Exceptions.h"
#include <QTcpServer>
#include <QTcpSocket>
#include <sys/socket.h>

namespace {

// Straight to the descriptor while nothing waits in the socket's own buffer: no copy and no
// later pass of the event loop, as the master waits for the answer. What the kernel does not
// take at once goes through the socket's buffer, behind which later bytes then queue.
void WriteTcp(QTcpSocket* socket, QByteArrayView bytes)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return; // closed on command while answers were still held
    if (socket->bytesToWrite() == 0) {
        const ssize_t sent = ::send(int(socket->socketDescriptor()), bytes.data(), std::size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
            bytes = bytes.sliced(sent);
    }
    if (bytes.isEmpty())
        return;
    socket->write(bytes.data(), bytes.size());
    socket->flush();
}

// A linger time of zero makes the close send a reset instead of the orderly end of the stream.
void ResetTcp(QTcpSocket* socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const linger hard{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
}

} // namespace

TSimSlave::TSimSlave(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station,
                     bool verbose, QObject* owner)
    : QObject(owner), FAnswerer(memory, faults, counters, station, verbose)
{
}

TSimSlave::~TSimSlave() = default;

void TSimSlave::ListenUdp(const QHostAddress& address, quint16 port)
{
    FUdp = new TSimUdpPort(FAnswerer, this);
    FUdp->Bind(address, port);
}

void TSimSlave::ListenTcp(const QHostAddress& address, quint16 port)
{
    FTcp = new QTcpServer(this);
    if (!FTcp->listen(address, port))
        throw Exception(QStringLiteral("Cannot listen on TCP %1:%2: %3").arg(address.toString()).arg(port).arg(FTcp->errorString()));
    connect(FTcp, &QTcpServer::newConnection, this, &TSimSlave::AcceptConnections);
}

void TSimSlave::OpenSerial(const QString& link)
{
    FSerial = new TSimSerialLine(FAnswerer, link, this);
    FSerial->Plug();
}

quint16 TSimSlave::UdpPort() const { return FUdp ? FUdp->Port() : 0; }
quint16 TSimSlave::TcpPort() const { return FTcp ? FTcp->serverPort() : 0; }

int TSimSlave::CloseTcpConnections()
{
    const QList<QTcpSocket*> open = FStreams.keys(); // abort() removes each from FStreams
    for (QTcpSocket* socket : open)
        socket->abort();
    FAnswerer.Counters().TcpClosed += std::uint64_t(open.size());
    return int(open.size());
}

void TSimSlave::UnplugSerial(int milliseconds)
{
    if (!FSerial)
        throw Exception(QStringLiteral("there is no serial line: start with --serial LINK"));
    FSerial->Unplug(milliseconds);
}

void TSimSlave::AcceptConnections()
{
    while (QTcpSocket* socket = FTcp->nextPendingConnection()) {
        ++FAnswerer.Counters().TcpConnections;
        // Each write leaves at once, also the single bytes of a trickled answer.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* stream = new TSimStream(FAnswerer, "tcp", {[socket](QByteArrayView bytes) { WriteTcp(socket, bytes); },
                                                         [socket] { ResetTcp(socket); }},
                                      socket);
        FStreams.insert(socket, stream);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, stream] { ReadStream(socket, stream); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            FStreams.remove(socket);
            socket->deleteLater();
        });
    }
}

void TSimSlave::ReadStream(QTcpSocket* socket, TSimStream* stream)
{
    char buffer[4096];
    for (qint64 count; (count = socket->read(buffer, sizeof buffer)) > 0;)
        stream->Receive(QByteArrayView(buffer, count));
}
