#pragma once
#include "QtPrinters.h"
#include "comm/kxasync_thread.h"
#include "errorsystem/ErrorSystem.h"
#include "TestSupport.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>

// Real parts for the engine tests: the log system with a memo that records what the line logs,
// peers on loopback that answer (or misbehave) with plain POSIX sockets, a pty pair for serial
// lines, and small protocol threads on top of TComThread.
namespace ComTest {

constexpr int GenerousMs = 10000;
constexpr int FrameSize = 8;
// The memo the lines under test log to.
constexpr int LineMemoIndex = 7;

// ---- Logging ----

// Records the lines of one memo index, from whichever thread logs them.
class TRecordingMemo : public ILogMemo {
public:
    explicit TRecordingMemo(int memoIndex) : FMemoIndex(memoIndex) {}
    int MemoIndex() const override { return FMemoIndex; }
    void AddLine(const QString& text) override;
    QStringList Lines() const;
    // Lines that contain part.
    int Count(const QString& part) const;
    bool Contains(const QString& part) const { return Count(part) > 0; }

private:
    int FMemoIndex;
    mutable std::mutex FLock;
    QStringList FLines;
};

// The log system with its default log file in a fresh folder, exception stacks recorded, and
// recording memos for the line (LineMemoIndex) and for memo 0.
class LoggingTest : public ::testing::Test {
protected:
    LoggingTest();
    ~LoggingTest() override;

    QString LogFile() const { return FDir.File("test.log"); }
    QStringList LogFileLines() const;
    bool LogFileContains(const QString& part) const;

    TestSupport::TTempDir FDir;
    std::unique_ptr<TLogSystemScope> FLogSystem;
    TRecordingMemo FLineMemo{LineMemoIndex};
    TRecordingMemo FMemo0{0};
};

// ---- Transactions ----

// A transaction whose request is a little-endian packet.
class TTestTransaction : public TDataTransaction {
public:
    TTestTransaction();
    QString ClassName() const override { return QStringLiteral("TTestTransaction"); }
    std::unique_ptr<TDataTransaction> Create() const override { return std::make_unique<TTestTransaction>(); }
};
std::unique_ptr<TDataTransaction> MakeTransaction(int tag, const QByteArray& request = {});
// A frame of FrameSize bytes that tells frames apart by its number.
QByteArray Frame(int number);

// ---- Protocol threads ----

// Counts the bodies that started and the objects that were destroyed, to prove a thread never
// ran or was freed.
struct TThreadCounters {
    std::atomic<int> Started{0};
    std::atomic<int> Destroyed{0};
};
extern TThreadCounters Counters;

// A thread that only waits; the test drives its line from the main thread while it does.
class TLineThread : public TComThread {
public:
    using TComThread::TComThread;
    ~TLineThread() override { ++Counters.Destroyed; }
    QString ClassName() const override { return QStringLiteral("TLineThread"); }

    using TComThread::DoDisconnect;
    using TComThread::DoReceive;
    using TComThread::DoServe;
    using TComThread::LogReconnectAt;
    using TComThread::Purge;
    using TComThread::ReadBuf;
    using TComThread::ReadData;
    using TComThread::TCPClose;
    using TComThread::TCPConnect;
    using TComThread::WriteData;
    void SetCommandsPerRepeat(int value) { FCommandsPerRepeat = value; }
    int CCounter() const { return FCCounter; }
    int Connects() const { return FConnects.load(); }

protected:
    void Execute() override;
    void DoTCPConnect() override { ++FConnects; }

private:
    std::atomic<int> FConnects{0};
};

// The master of an echo protocol: takes the next transaction, purges the line, writes its
// request, reads an answer of the same size into the request and reports it; a failed read is
// reported as a disconnect. Exceptions of a pass are logged and the loop goes on.
class TEchoThread : public TComThread {
public:
    using TComThread::TComThread;
    ~TEchoThread() override { ++Counters.Destroyed; }
    QString ClassName() const override { return QStringLiteral("TEchoThread"); }

protected:
    void Execute() override;

private:
    void Pass();
};

// The slave side: reads a frame from whoever sends one and writes it back.
class TServeEchoThread : public TComThread {
public:
    using TComThread::TComThread;
    QString ClassName() const override { return QStringLiteral("TServeEchoThread"); }

protected:
    void Execute() override;
};

// ---- Peers ----

enum class TPeerMode {
    Echo,
    Silent,
    // Sends back the first half only.
    HalfAnswer,
    // Sends back the request with 100 bytes more.
    Oversize,
    // Answers once, then resets the connection.
    ResetAfterAnswer,
};

// A datagram peer on a loopback address and an ephemeral port.
class TUdpPeer {
public:
    TUdpPeer(const char* address, TPeerMode mode);
    ~TUdpPeer();
    int Port() const { return FPort; }
    QString DeviceName(const char* prefix = "UDP:") const;
    int Received() const { return FReceived.load(); }
    void SetMode(TPeerMode mode) { FMode = mode; }

private:
    void Serve();

    int FSocket = -1;
    int FPort = 0;
    QString FAddress;
    std::atomic<TPeerMode> FMode;
    std::atomic<int> FReceived{0};
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// A stream peer on a loopback address: one connection at a time, answering what arrives.
class TTcpPeer {
public:
    TTcpPeer(const char* address, TPeerMode mode);
    ~TTcpPeer();
    int Port() const { return FPort; }
    QString DeviceName() const;
    int Accepted() const { return FAccepted.load(); }

private:
    void Serve();
    void ServeConnection(int connection);

    int FListener = -1;
    int FPort = 0;
    QString FAddress;
    TPeerMode FMode;
    std::atomic<int> FAccepted{0};
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// A free port of a loopback address, for a server under test to bind to.
int FreePort(const char* address, int socketType);
// A connected stream socket to address:port, -1 when none could be made within the time.
int ConnectTcp(const char* address, int port, int timeoutMs = GenerousMs);
// Sends frame over a stream socket and reads as many bytes back; empty when they did not come.
QByteArray ExchangeOverStream(int socket, const QByteArray& frame, int timeoutMs = GenerousMs);

// ---- Serial ----

// A pseudo terminal pair: the line under test opens the terminal side by its path, the test
// plays the device on the master side.
class TPty {
public:
    TPty();
    ~TPty();
    QString Path() const { return FPath; }
    void Send(const QByteArray& bytes);
    // Waits up to timeoutMs until count bytes have come from the line.
    QByteArray Receive(int count, int timeoutMs = GenerousMs);
    // Echoes everything the line sends, on a thread of its own, until the pty goes.
    void StartEcho();

private:
    int FMaster = -1;
    QString FPath;
    std::atomic<bool> FStop{false};
    std::thread FEcho;
};

} // namespace ComTest
