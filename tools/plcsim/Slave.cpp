#include "Slave.h"
#include "SerialLine.h"
#include "TcpConnection.h"
#include "UdpPort.h"
#include "platform/Exceptions.h"

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
    FTcp = new TSimTcpServer([this](int descriptor) { Accept(descriptor); }, this);
    if (!FTcp->listen(address, port))
        throw Exception(QStringLiteral("Cannot listen on TCP %1:%2: %3").arg(address.toString()).arg(port).arg(FTcp->errorString()));
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
    const QList<TSimTcpConnection*> open = FConnections.values(); // Close() removes each from FConnections
    for (TSimTcpConnection* connection : open)
        connection->Close();
    FAnswerer.Counters().TcpClosed += std::uint64_t(open.size());
    return int(open.size());
}

void TSimSlave::UnplugSerial(int milliseconds)
{
    if (!FSerial)
        throw Exception(QStringLiteral("there is no serial line: start with --serial LINK"));
    FSerial->Unplug(milliseconds);
}

void TSimSlave::Accept(int descriptor)
{
    ++FAnswerer.Counters().TcpConnections;
    const auto closed = [this](TSimTcpConnection* connection) {
        FConnections.remove(connection);
        connection->deleteLater();
    };
    FConnections.insert(new TSimTcpConnection(descriptor, FAnswerer, closed, this));
}
