#pragma once
#include "Answerer.h"
#include "Counters.h"
#include "Faults.h"
#include <QHostAddress>
#include <QSet>
#include <QObject>
#include <QString>

class TSimMemory;
class TSimSerialLine;
class TSimTcpConnection;
class TSimTcpServer;
class TSimUdpPort;

// The EPSNET slave on every line it serves: UDP (TSimUdpPort), TCP connections
// (TSimTcpConnection) and the serial line (TSimSerialLine), all answered by one TSimAnswerer.
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
    void Accept(int descriptor);

    TSimAnswerer FAnswerer;
    TSimUdpPort* FUdp = nullptr;
    TSimTcpServer* FTcp = nullptr;
    TSimSerialLine* FSerial = nullptr;
    QSet<TSimTcpConnection*> FConnections; // the open ones

};
