#include "Slave.h"
#include "Memory.h"
#include "platform/Exceptions.h"
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <cstdio>

TSimSlave::TSimSlave(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station,
                     bool verbose, QObject* owner)
    : QObject(owner), FMemory(memory), FFaults(faults), FCounters(counters), FStation(station), FVerbose(verbose)
{
}

void TSimSlave::ListenUdp(const QHostAddress& address, quint16 port)
{
    FUdp = new QUdpSocket(this);
    if (!FUdp->bind(address, port))
        throw Exception(QStringLiteral("Cannot bind UDP %1:%2: %3").arg(address.toString()).arg(port).arg(FUdp->errorString()));
    connect(FUdp, &QUdpSocket::readyRead, this, &TSimSlave::ReadDatagrams);
}

void TSimSlave::ListenTcp(const QHostAddress& address, quint16 port)
{
    FTcp = new QTcpServer(this);
    if (!FTcp->listen(address, port))
        throw Exception(QStringLiteral("Cannot listen on TCP %1:%2: %3").arg(address.toString()).arg(port).arg(FTcp->errorString()));
    connect(FTcp, &QTcpServer::newConnection, this, &TSimSlave::AcceptConnections);
}

quint16 TSimSlave::UdpPort() const { return FUdp ? FUdp->localPort() : 0; }
quint16 TSimSlave::TcpPort() const { return FTcp ? FTcp->serverPort() : 0; }

int TSimSlave::CloseTcpConnections()
{
    const QList<QTcpSocket*> open = FStreams.keys(); // abort() removes each from FStreams
    for (QTcpSocket* socket : open)
        socket->abort();
    FCounters.TcpClosed += std::uint64_t(open.size());
    return int(open.size());
}

void TSimSlave::ReadDatagrams()
{
    while (FUdp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = FUdp->receiveDatagram(MaxDatagramSize);
        ++FCounters.UdpDatagrams;
        const QByteArray bytes = datagram.data();
        Log("<", QStringLiteral("udp"), bytes);
        const auto request = SlaveFrames::SplitDatagram(bytes);
        if (!request) {
            ++FCounters.BadFrames;
            continue;
        }
        std::optional<QByteArray> answer = Answer(request->Frame);
        if (answer)
            answer = WithFaults(*answer);
        if (!answer)
            continue;
        std::uint16_t identifier = request->Identifier;
        if (TSimFaults::Take(FFaults.WrongIdAnswers)) {
            identifier = static_cast<std::uint16_t>(identifier - 1); // the answer to an older request
            ++FCounters.WrongIdAnswers;
        }
        const QByteArray reply = WrapFrame(*answer, true, identifier, request->PN);
        Log(">", QStringLiteral("udp"), reply);
        FUdp->writeDatagram(reply, datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void TSimSlave::AcceptConnections()
{
    while (QTcpSocket* socket = FTcp->nextPendingConnection()) {
        ++FCounters.TcpConnections;
        FStreams.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { ReadStream(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            FStreams.remove(socket);
            socket->deleteLater();
        });
    }
}

void TSimSlave::ReadStream(QTcpSocket* socket)
{
    if (!FStreams.contains(socket))
        return;
    QByteArray& stream = FStreams[socket];
    stream += socket->readAll();
    qsizetype used = 0;
    QByteArray answers;
    for (;;) {
        const QByteArrayView rest = QByteArrayView(stream).sliced(used);
        const qsizetype length = SlaveFrames::FrameLength(rest);
        if (length < 0) {
            ++FCounters.BadFrames; // not a frame start: look for one from the next byte on
            ++used;
            continue;
        }
        if (length == 0 || rest.size() < length)
            break;
        const QByteArrayView frame = rest.first(length);
        used += length;
        Log("<", QStringLiteral("tcp"), frame);
        std::optional<QByteArray> answer = Answer(frame);
        if (answer)
            answer = WithFaults(*answer);
        if (answer) {
            Log(">", QStringLiteral("tcp"), *answer);
            answers += *answer;
        }
    }
    stream.remove(0, used); // what is left is the start of one frame: at most 260 bytes
    if (!answers.isEmpty()) {
        socket->write(answers);
        // Sent now rather than on a later pass of the event loop: the master waits for it.
        socket->flush();
    }
}

std::optional<QByteArray> TSimSlave::Answer(QByteArrayView frame)
{
    const SlaveFrames::TParsed parsed = SlaveFrames::ParseRequest(frame);
    if (!parsed.Request) {
        ++FCounters.BadFrames;
        if (FVerbose)
            std::fprintf(stderr, "vocator-plcsim: frame refused: %s\n", qPrintable(parsed.Error));
        return std::nullopt;
    }
    const SlaveFrames::TRequest& request = *parsed.Request;
    if (request.Destination != FStation) {
        ++FCounters.ForeignFrames;
        return std::nullopt;
    }
    if (request.Kind == SlaveFrames::TRequestKind::Connect) {
        ++FCounters.ConnectFrames;
        return SlaveFrames::ConnectAnswer(request);
    }
    ++FCounters.ReadFrames;
    return SlaveFrames::ReadAnswer(request, FMemory.Read(request.Area, request.Address, request.Length));
}

std::optional<QByteArray> TSimSlave::WithFaults(QByteArray answer)
{
    if (TSimFaults::Take(FFaults.DropAnswers)) {
        ++FCounters.Dropped;
        return std::nullopt;
    }
    ++FCounters.Answers;
    if (TSimFaults::Take(FFaults.ShortAnswers)) {
        ++FCounters.ShortAnswers;
        return SlaveFrames::Truncated(answer);
    }
    return answer;
}

void TSimSlave::Log(const char* direction, const QString& transport, QByteArrayView bytes) const
{
    if (FVerbose)
        std::fprintf(stderr, "vocator-plcsim: %s %s %s\n", direction, qPrintable(transport), qPrintable(SlaveFrames::Hex(bytes)));
}
