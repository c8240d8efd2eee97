#pragma once
#include "Counters.h"
#include "Faults.h"
#include "SlaveFrames.h"
#include <QHostAddress>
#include <QHash>
#include <QObject>
#include <QString>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;
class TSimMemory;

// The EPSNET slave: answers the connect frame and reads of N bytes from the memory, over UDP
// (one frame per datagram, behind the 6-byte header, which the answer echoes with the request's
// identifier) and over TCP (frames back to back on the stream). Frames that are broken, not
// for this station or not a request it knows get no answer, as on a real line.
class TSimSlave : public QObject {
    Q_OBJECT
public:
    TSimSlave(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station,
              bool verbose, QObject* owner = nullptr);

    // Both raise Exception when the port cannot be bound. Port 0 takes any free port.
    void ListenUdp(const QHostAddress& address, quint16 port);
    void ListenTcp(const QHostAddress& address, quint16 port);
    quint16 UdpPort() const;
    quint16 TcpPort() const;

    // Closes every open TCP connection at once; returns how many there were.
    int CloseTcpConnections();

private:
    void ReadDatagrams();
    void AcceptConnections();
    void ReadStream(QTcpSocket* socket);
    // The answer to one frame, before any fault; none when the frame gets no answer.
    std::optional<QByteArray> Answer(QByteArrayView frame);
    // Applies the drop and short faults; none when the answer is dropped.
    std::optional<QByteArray> WithFaults(QByteArray answer);
    void Log(const char* direction, const QString& transport, QByteArrayView bytes) const;

    TSimMemory& FMemory;
    TSimFaults& FFaults;
    TSimCounters& FCounters;
    std::uint8_t FStation;
    bool FVerbose;
    QUdpSocket* FUdp = nullptr;
    QTcpServer* FTcp = nullptr;
    // The open connections, each with the bytes of a frame not yet complete.
    QHash<QTcpSocket*, QByteArray> FStreams;
};
