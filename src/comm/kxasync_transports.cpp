#include "comm/kxasync_serial.h"
#include "comm/kxasync_thread.h"
#include <QScopeGuard>
#include <algorithm>
#include <cmath>

// The transports of a communication thread: how a serial port, a deferred serial port and the
// network kinds are opened, configured, read, written, purged and closed, and how they recover.
// Everything here runs on the worker, except the serial configuration, which also runs when a
// setting changes on the main thread.

namespace {

constexpr int SocketTimeoutMs = 500;
constexpr std::uint32_t OpenedPortBaudRate = 115200;
constexpr int DeferedOpenPauseMs = 300;
constexpr int DeferedClosePauseMs = 1000;
constexpr int AcceptWaitMs = 800;
constexpr int SocketClosePauseMs = 1500;

bool Succeeded(const TBlockSocket& socket, QString& errorDesc)
{
    if (socket.LastError() == 0)
        return true;
    errorDesc = socket.LastErrorDesc();
    return false;
}

} // namespace

// ---- Serial ports ----

int TComThread::CreateHandle(const QString& DeviceName)
{
    DCB dcb;
    {
        std::lock_guard lock(FSO);
        if (!FComPort.Open(CheckComName(DeviceName)))
            return INVALID_HANDLE_VALUE;
        TSerialSettings driver;
        FComPort.GetSettings(driver);
        dcb = DCBFromSerialSettings(driver);
    }
    // The flow control stays as the driver has it.
    dcb.BaudRate = OpenedPortBaudRate;
    SetDCB(dcb);
    return GetComHandle();
}

int TComThread::GetComHandle() const
{
    std::lock_guard lock(FSO);
    return FComPort.IsOpen() ? FComPort.Handle() : INVALID_HANDLE_VALUE;
}

QString TComThread::ApplyLineSettings()
{
    std::lock_guard lock(FSO);
    if (FSocket) {
        FSocket->SetRecvTimeout(SocketTimeoutMs);
        FSocket->SetSendTimeout(SocketTimeoutMs);
        return {};
    }
    // A port that is not open (a deferred one) takes the settings when it opens.
    if (!FComPort.IsOpen())
        return {};
    FComPort.SetTimeouts(ComLineTimeouts());
    TSerialSettings settings = SerialSettingsFromDCB(FComDCB);
    settings.Dtr = FDTR;
    if (!FComPort.SetSettings(settings))
        return FComPort.LastErrorDesc();
    return {};
}

void TComThread::LogLineSettingsFailure(const QString& failure)
{
    {
        std::lock_guard lock(FSO);
        // Every setting re-applies the record, so one bad value would otherwise log again and again.
        if (failure == FLastLineSettingsFailure)
            return;
        FLastLineSettingsFailure = failure;
    }
    if (!failure.isEmpty())
        DoLog(QStringLiteral("Serial: line settings not applied:") + failure, lgErrorLevel1);
}

void TComThread::SetUpDCB() { LogLineSettingsFailure(ApplyLineSettings()); }

void TComThread::DeferedConnect()
{
    if (!FDefered)
        return;
    {
        std::lock_guard lock(FSO);
        if (FComPort.IsOpen() || !FComPort.Open(DeferedDevicePath(FDeviceName)))
            return;
        TSerialSettings driver;
        FComPort.GetSettings(driver);
        // The line settings are ours, the flow control stays as the driver has it.
        DCB dcb = DCBFromSerialSettings(driver);
        dcb.BaudRate = FComDCB.BaudRate;
        dcb.ByteSize = FComDCB.ByteSize;
        dcb.Parity = FComDCB.Parity;
        dcb.StopBits = FComDCB.StopBits;
        FComDCB = dcb;
    }
    SetUpDCB();
    PauseUnlessTerminated(DeferedOpenPauseMs);
}

void TComThread::DeferedClose()
{
    {
        std::lock_guard lock(FSO);
        FComPort.Close();
    }
    PauseUnlessTerminated(DeferedClosePauseMs);
}

int TComThread::SerialWrite(const void* Buffer, int Count)
{
    if (FDefered)
        DeferedConnect();
    const bool direction = GetRTSIsDirection();
    if (direction)
        FComPort.SetRTS();
    const int written = FComPort.Write(Buffer, Count);
    if (written < 0)
        DeferedClose();
    if (direction)
        DropRTSAfterLastCharacter();
    return written < 0 ? -1 : written;
}

void TComThread::DropRTSAfterLastCharacter()
{
    // Only the flush and the one-character wait run at the highest priority, so that a half-duplex
    // partner may answer as soon as our last character is out.
    const TThreadPriority previous = CurrentThreadPriority();
    SetCurrentThreadPriority(TThreadPriority::tpTimeCritical);
    const auto restore = qScopeGuard([previous] { SetCurrentThreadPriority(previous); });
    FComPort.Flush();
    SleepMs(CharacterTimeMs());
    FComPort.ClrRTS();
}

int TComThread::CharacterTimeMs() const
{
    const double baudRate = TcmBaudrateToBaudRate[GetBaudRate()];
    return std::max(1, static_cast<int>(std::ceil(GetBitsPerChar() * 1000.0 / baudRate)));
}

// ---- Network ----

bool TComThread::TCPConnect()
{
    if (!FTCP)
        return false;
    if (FSocket->Socket() != TBlockSocket::InvalidSocket)
        return true;
    // The hook of a connection may read and write, which must not connect once more.
    if (F_TCPConnectInProggress)
        return false;
    DoLog(QStringLiteral("Try to TCP connect ") + FDeviceName, lgConnect);
    F_TCPConnectInProggress = true;
    const auto done = qScopeGuard([this] { F_TCPConnectInProggress = false; });
    QString errorDesc;
    if (!ConnectNetwork(errorDesc)) {
        DoLog(QStringLiteral("TCP: Connect:") + errorDesc, lgErrorLevel1);
        TCPClose();
        return false;
    }
    DoTCPConnect();
    // The hook may refuse the connection by closing it (a peer without what the line needs).
    if (FSocket->Socket() == TBlockSocket::InvalidSocket)
        return false;
    LogReconnect();
    return true;
}

bool TComThread::ConnectNetwork(QString& errorDesc)
{
    const THostPort address = ParseHostPort(DeviceAddressPart(FDeviceName));
    if (FTCPSocket) {
        AdoptSocket(DeviceSocketHandle(FDeviceName));
        return Succeeded(*FSocket, errorDesc);
    }
    if (FTCPServer)
        return AcceptPendingClient(address.Host, address.Port, errorDesc);
    if (FUDPServer) {
        FSocket->Bind(address.Host, address.Port);
        return Succeeded(*FSocket, errorDesc);
    }
    if (FUDP)
        return ConnectUDPClient(address.Host, address.Port, errorDesc);
    // A peer that does not answer must not hold the worker (and whoever waits for it) longer
    // than the line's time-out.
    FSocket->SetConnectTimeout(GetTCPTimeOut());
    FSocket->Connect(address.Host, address.Port);
    return Succeeded(*FSocket, errorDesc);
}

bool TComThread::ConnectUDPClient(const QString& host, const QString& port, QString& errorDesc)
{
    FSocket->Bind(QStringLiteral("0.0.0.0"), QStringLiteral("0"));
    if (!Succeeded(*FSocket, errorDesc))
        return false;
    FSocket->Connect(host, port);
    // Only the server may answer: another host's datagrams must not take over the line.
    static_cast<TUDPBlockSocket&>(*FSocket).SetPeerLocked(true);
    return Succeeded(*FSocket, errorDesc);
}

bool TComThread::AcceptPendingClient(const QString& host, const QString& port, QString& errorDesc)
{
    if (FServerSocket->Socket() == TBlockSocket::InvalidSocket) {
        FServerSocket->Bind(host, port);
        if (FServerSocket->LastError() == 0)
            FServerSocket->Listen();
        if (!Succeeded(*FServerSocket, errorDesc)) {
            // Bound afresh at the next attempt instead of staying a socket that never listens.
            FServerSocket->CloseSocket();
            return false;
        }
    }
    // One client at a time; the line is up only once one is there.
    const int client = FServerSocket->Accept(AcceptWaitMs);
    if (client == TBlockSocket::InvalidSocket) {
        Succeeded(*FServerSocket, errorDesc);
        return false;
    }
    AdoptSocket(client);
    return Succeeded(*FSocket, errorDesc);
}

void TComThread::AdoptSocket(int handle)
{
    FSocket->SetSocket(handle);
    if (FEnableLog && FSocket->LastError() == 0)
        DoLog(QStringLiteral("TCP Accep connection:") + FSocket->GetRemoteSinIP() + QStringLiteral(":")
                  + QString::number(FSocket->GetRemoteSinPort()),
              lgConnect);
}

void TComThread::TCPClose()
{
    if (!FTCP)
        return;
    DoLog(QStringLiteral("TCP Close"), lgDisconnect);
    FSocket->CloseSocket();
    if (FTCPSocket) {
        // An adopted socket cannot be established again.
        DoLog(QStringLiteral("TCP socket is terminated:") + FDeviceName, lgConnect);
        Terminate();
    }
    PauseUnlessTerminated(SocketClosePauseMs);
}

// ---- Reading and writing ----

void TComThread::LogData(const QByteArray& head, const void* Buffer, int Count, TLogCategory Category)
{
    DoLog(head + QByteArray(static_cast<const char*>(Buffer), Count), Category);
}

int TComThread::TryReadBuf(void* Buffer, int Count, int TimeOut)
{
    Count = std::max(Count, 0);
    int received = 0;
    if (FTCP) {
        // Without a connection the read fails and reports why.
        TCPConnect();
        received = FSocket->RecvBufferEx(Buffer, Count, TimeOut);
        NoteForeignDatagrams();
    } else {
        // The port's time-outs bound the read.
        received = FComPort.Read(Buffer, Count);
    }
    if (FEnableLog && received > 0)
        LogData("Rx(" + QByteArray::number(received) + "):", Buffer, received, lgRx);
    return received;
}

int TComThread::ReadBuf(void* Buffer, int Count, int TimeOut)
{
    if (FDefered)
        DeferedConnect();
    const int received = TryReadBuf(Buffer, Count, TimeOut);
    if (FTCP) {
        // A time-out is such an error too: every incomplete read starts the connection afresh.
        if (FSocket->LastError() != 0) {
            DoLog(QStringLiteral("TCP: Read(%1):%2").arg(received).arg(FSocket->LastErrorDesc()), lgRx);
            TCPClose();
        }
    } else if (FDefered && received != Count) {
        DeferedClose();
    }
    if (FEnableLog && received == 0)
        DoLog(QStringLiteral("Rx(%1):No data to read").arg(Count), lgErrorLevel1);
    return received;
}

int TComThread::ReadDatagram(void* Buffer, int Capacity, int TimeOut)
{
    if (!FUDP)
        return 0;
    TCPConnect();
    const int received = FSocket->RecvDatagram(Buffer, std::max(Capacity, 0), TimeOut);
    NoteForeignDatagrams();
    if (FEnableLog && received > 0)
        LogData("Rx(" + QByteArray::number(received) + "):", Buffer, received, lgRx);
    if (FSocket->LastError() != 0) {
        DoLog(QStringLiteral("TCP: Read(%1):%2").arg(received).arg(FSocket->LastErrorDesc()), lgRx);
        TCPClose();
    }
    return received;
}

void TComThread::NoteForeignDatagrams()
{
    if (!FUDP)
        return;
    const auto& socket = static_cast<const TUDPBlockSocket&>(*FSocket);
    const std::uint64_t count = socket.ForeignDatagrams();
    if (count == FForeignSeen) {
        if (FForeignRun > 1)
            DoLog(QStringLiteral("UDP: %1 datagrams from other senders dropped").arg(FForeignRun), lgErrorLevel1);
        FForeignRun = 0;
        return;
    }
    if (FForeignRun == 0)
        DoLog(QStringLiteral("UDP: datagram from %1 dropped: not from %2:%3")
                  .arg(socket.LastForeignSender(), socket.GetRemoteSinIP())
                  .arg(socket.GetRemoteSinPort()),
              lgErrorLevel1);
    FForeignRun += count - FForeignSeen;
    FForeignSeen = count;
}

bool TComThread::ReadData(int Count, QByteArray& S, int TimeOut)
{
    if (Count < 1)
        return true;
    S.resize(Count);
    const int received = ReadBuf(S.data(), Count, TimeOut);
    S.resize(std::clamp(received, 0, Count));
    return received == Count;
}

int TComThread::WriteBuf(const void* Buffer, int Count, int TimeOut)
{
    Count = std::max(Count, 0);
    int written = -1;
    if (FTCP) {
        if (!TCPConnect())
            return -1;
        FSocket->SetSendTimeout(TimeOut);
        written = FSocket->SendBuffer(Buffer, Count);
        if (FSocket->LastError() != 0) {
            DoLog(QStringLiteral("TCP: Write:") + FSocket->LastErrorDesc(), lgTx);
            TCPClose();
        }
    } else {
        written = SerialWrite(Buffer, Count);
    }
    if (FEnableLog && written == Count)
        LogData("Tx:", Buffer, Count, lgTx);
    return written;
}

bool TComThread::WriteData(const QByteArray& S, int TimeOut)
{
    const int length = static_cast<int>(S.size());
    return WriteBuf(S.constData(), length, TimeOut) == length;
}

bool TComThread::Purge()
{
    if (FTCP) {
        FSocket->Purge();
        return true;
    }
    // Input only: bytes already queued for sending still go out.
    return FComPort.PurgeInput();
}
