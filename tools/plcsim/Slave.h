#pragma once
#include "Answerer.h"
#include "Counters.h"
#include "Faults.h"
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
class TSimMemory;
class TSimSerialLine;
class TSimStream;
class TSimUdpPort;

// The EPSNET slave on every line it serves: UDP (TSimUdpPort), TCP connections and the serial
// line (a TSimStream each), all answered by one TSimAnswerer.
class TSimSlave : public QObject {
    Q_OBJECT
public:
    TSimSlave(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station,
              bool verbose, QObject* owner = nullptr);
    ~TSimSlave() override;

    // All raise Exception when the line cannot be set up. Port 0 takes any free port.
    void ListenUdp(const QHostAddress& address, quint16 port);
    void ListenTcp(const QHostAddress& address, quint16 port);
    void OpenSerial(const QString& link);
    quint16 UdpPort() const;
    quint16 TcpPort() const;
    bool ServesTcp() const { return FTcp != nullptr; }
    bool ServesSerial() const { return FSerial != nullptr; }

    // Closes every open TCP connection at once; returns how many there were.
    int CloseTcpConnections();
    // Unplugs the serial line for the given time; raises Exception when there is none.
    void UnplugSerial(int milliseconds);

private:
    void AcceptConnections();
    void ReadStream(QTcpSocket* socket, TSimStream* stream);

    TSimAnswerer FAnswerer;
    TSimUdpPort* FUdp = nullptr;
    QTcpServer* FTcp = nullptr;
    TSimSerialLine* FSerial = nullptr;
    // The open connections and their streams; each stream is a child of its socket.
    QHash<QTcpSocket*, TSimStream*> FStreams;
};
