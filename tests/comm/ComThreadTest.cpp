#include "ComTestSupport.h"
#include "platform/DateTime.h"
#include <QElapsedTimer>

using namespace ComTest;
using TestSupport::WaitUntil;

namespace {

using TLineThreadPtr = TComThreadPtr<TLineThread>;

TLineThreadPtr LineThread(const QString& deviceName = QStringLiteral("TCP:127.0.0.31:9"))
{
    return TComThread::Create<TLineThread>(deviceName, false);
}

class ComThread : public LoggingTest {};

} // namespace

// A line logged in a category is written where the options select it, lgAll on either side
// selecting everything.
TEST(ComThreadLog, CategoryIsInOptions)
{
    EXPECT_TRUE(CategoryIsInOptions({lgTx}, lgTx));
    EXPECT_TRUE(CategoryIsInOptions({lgTx}, lgAll));
    EXPECT_FALSE(CategoryIsInOptions({lgTx}, lgRx));
    EXPECT_FALSE(CategoryIsInOptions({}, lgErrorLevel1));
    for (int category = 0; category < LogCategoryCount; ++category)
        EXPECT_TRUE(CategoryIsInOptions({lgAll}, static_cast<TLogCategory>(category))) << category;
}

// The device name decides the transport once, at construction, whatever its case or blanks.
TEST(ComThreadConstruction, ClassifiesTheDeviceName)
{
    const struct {
        const char* name;
        bool tcp, udp, tcpServer, tcpSocket, udpServer, defered;
    } cases[] = {
        {"TCP:127.0.0.32:9", true, false, false, false, false, false},
        {" tcp:127.0.0.32:9", true, false, false, false, false, false},
        {"TCPSERVER:127.0.0.32:9", true, false, true, false, false, false},
        {"TCPSOCKET:12345", true, false, false, true, false, false},
        {"UDP:127.0.0.32:9", true, true, false, false, false, false},
        {"UDPSERVER:127.0.0.32:9", true, true, false, false, true, false},
        {"DEFERED: /dev/nonexistent-vocator", false, false, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TLineThreadPtr thread = LineThread(QString::fromLatin1(c.name));
        EXPECT_EQ(thread->TCP(), c.tcp);
        EXPECT_EQ(thread->UDP(), c.udp);
        EXPECT_EQ(thread->TCPServer(), c.tcpServer);
        EXPECT_EQ(thread->TCPSocket(), c.tcpSocket);
        EXPECT_EQ(thread->UDPServer(), c.udpServer);
        EXPECT_EQ(thread->Defered(), c.defered);
        EXPECT_EQ(thread->GetComHandle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(thread->GetMaxRetries(), 8);
        EXPECT_EQ(thread->GetTCPTimeOut(), 1100);
        EXPECT_EQ(thread->GetLogOptions(), TLogCategorySet{lgAll});
        EXPECT_EQ(thread->GetLogToFileOptions(), TLogCategorySet{lgAll});
        EXPECT_FALSE(thread->GetEnableFileLog());
    }
}

// A configuration the thread cannot run with ends the construction with a clear message, and
// the body never starts.
TEST(ComThreadConstruction, RefusesWhatItCannotRun)
{
    const int startedBefore = Counters.Started;
    const int destroyedBefore = Counters.Destroyed;
    try {
        TComThread::Create<TLineThread>(QStringLiteral("TCP:127.0.0.33:9"), true);
        ADD_FAILURE() << "a multi-server client was built";
    } catch (const EkxComException& e) {
        EXPECT_EQ(e.Message(), "TLineThread-TCP:127.0.0.33:9:Multy server in not allowed for specified connection string");
    }
    try {
        TComThread::Create<TLineThread>(CheckComName(QStringLiteral("/dev/nonexistent-vocator")), false);
        ADD_FAILURE() << "a missing serial port was opened";
    } catch (const EkxComException& e) {
        EXPECT_EQ(e.Message(), "TLineThread-\\\\.\\/dev/nonexistent-vocator:No such file or directory");
    }
    EXPECT_EQ(Counters.Started, startedBefore);
    EXPECT_EQ(Counters.Destroyed, destroyedBefore + 2);
    // A multi-server thread on a server name is fine.
    EXPECT_TRUE(TComThread::Create<TLineThread>(QStringLiteral("TCPSERVER:127.0.0.33:9"), true)->MultiServer());
}

// With two commands allowed per repeat, commands and repeats interleave, repeats take turns, and
// every repeat is handed out as a copy of its class while the list keeps its own.
TEST(ComThreadScheduler, CommandsBeforeRepeatsInRotation)
{
    const TLineThreadPtr thread = LineThread();
    EXPECT_EQ(thread->GetNextTransaction(), nullptr);
    EXPECT_EQ(thread->CCounter(), 0);

    for (int command = 1; command <= 3; ++command)
        thread->List()->Add(MakeTransaction(command));
    thread->RList()->Add(MakeTransaction(100, "A"));
    thread->RList()->Add(MakeTransaction(200, "B"));
    const TDataTransaction* listItem = thread->RList()->LockList().Items(0);

    const int expected[] = {1, 2, 100, 3, 200, 100, 200, 100};
    for (int tag : expected) {
        const std::unique_ptr<TDataTransaction> next = thread->GetNextTransaction();
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->Tag, tag);
        EXPECT_NE(next.get(), listItem);
        EXPECT_EQ(next->ClassName(), "TTestTransaction");
        if (tag >= 100) {
            EXPECT_EQ(next->Request->Data(), tag == 100 ? QByteArray("A") : QByteArray("B"));
        }
    }
    EXPECT_EQ(thread->ListCount(), 0);
    EXPECT_EQ(thread->RListCount(), 2);

    thread->SetCommandsPerRepeat(0);
    thread->List()->Add(MakeTransaction(4));
    EXPECT_EQ(thread->GetNextTransaction()->Tag, 200);
}

// A list never holds one transaction twice, and frees what it holds.
TEST(ComThreadScheduler, TransactionListOwnsItsItems)
{
    TTransactionList list;
    auto owned = MakeTransaction(1);
    TDataTransaction* item = owned.get();
    list.Add(std::move(owned));
    list.Add(std::unique_ptr<TDataTransaction>(item));
    EXPECT_EQ(list.Count(), 1);
    EXPECT_THROW(list.LockList().Items(1), EkxComException);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

// Error categories fill the list of last errors even with logging off; it keeps the last 21.
TEST_F(ComThread, LastErrorsKeepTheLatest21)
{
    const TLineThreadPtr thread = LineThread();
    EXPECT_EQ(thread->GetLastErrorMsg(), "");
    for (int i = 1; i <= 30; ++i)
        thread->DoLog(QStringLiteral("error %1").arg(i), lgErrorLevel2);
    thread->DoLog(QStringLiteral("not an error"), lgTx);
    const QStringList errors = thread->LastErrors();
    ASSERT_EQ(errors.size(), 21);
    EXPECT_EQ(errors.first(), "error 10");
    EXPECT_EQ(thread->GetLastErrorMsg(), "error 30");
    EXPECT_TRUE(FLineMemo.Lines().isEmpty());
    EXPECT_FALSE(LogFileContains("error 30"));
}

// Memo and file each take the categories selected for them, every line led by the device name
// and a TAB.
TEST_F(ComThread, LogGoesWhereTheCategoriesSay)
{
    const TLineThreadPtr thread = LineThread(QStringLiteral("TCP:127.0.0.34:9"));
    const QString fileLog = FDir.File("line.log");
    thread->SetLogMemoIndex(LineMemoIndex);
    thread->SetEnableLog(true);
    thread->SetLogOptions({lgTx});
    thread->SetEnableFileLog(true);
    thread->SetLogFileName(fileLog);
    thread->SetLogToFileOptions({lgRx});

    thread->DoLog(QStringLiteral("sent"), lgTx);
    thread->DoLog(QByteArray("received"), lgRx);
    thread->DoLog(QStringLiteral("everywhere"), lgAll);
    EXPECT_EQ(FLineMemo.Lines(), QStringList({"TCP:127.0.0.34:9\tsent", "TCP:127.0.0.34:9\teverywhere"}));
    const QString file = QString::fromUtf8(TestSupport::ReadFileBytes(fileLog));
    EXPECT_TRUE(file.contains("\tTCP:127.0.0.34:9\treceived\r\n"));
    EXPECT_TRUE(file.contains("\tTCP:127.0.0.34:9\teverywhere\r\n"));
    EXPECT_FALSE(file.contains("sent"));
}

// Reports of the worker: a packet that wants no event only marks the line connected; an
// answered one counts and is timed; a disconnect hands the handlers' cancel answer back.
TEST(ComThreadReports, ReceiveAndDisconnect)
{
    const TLineThreadPtr thread = LineThread();
    int received = 0;
    thread->OnReceive = [&](IComEventSender* sender, TDataPacket*) {
        EXPECT_EQ(sender, thread.get());
        ++received;
    };
    TLEPacket quiet;
    quiet.LaunchOnReceive = false;
    thread->SetMaxSyncTime(1234);
    thread->DoReceive(&quiet);
    EXPECT_TRUE(thread->Connected());
    EXPECT_EQ(thread->GetTransactionCount(), 0);
    EXPECT_EQ(thread->MaxSyncTime(), 1234);
    EXPECT_EQ(received, 0);

    thread->SetMaxSyncTime(0);
    TLEPacket answered;
    thread->DoReceive(&answered);
    EXPECT_EQ(received, 1);
    EXPECT_EQ(thread->GetTransactionCount(), 1);
    EXPECT_GE(thread->MaxSyncTime(), thread->SyncTime());

    std::vector<std::pair<bool, bool>> seen;
    thread->OnDisconnect = [&](IComEventSender*, TDataPacket* packet, bool& cancel) {
        seen.emplace_back(packet != nullptr, cancel);
        cancel = true;
    };
    thread->OnDisconnectTransaction = [&](IComEventSender*, TDataTransaction* transaction, bool&) {
        seen.emplace_back(transaction != nullptr, false);
    };
    const auto transaction = MakeTransaction(1);
    bool cancel = false;
    thread->DoDisconnect(transaction.get(), cancel);
    EXPECT_FALSE(thread->Connected());
    EXPECT_TRUE(cancel);
    // Both handlers run, with whichever of packet and transaction the report has.
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{false, false}, {true, false}}));

    thread->OnServe = [](IComEventSender*, TDataTransaction*, bool& c) { c = true; };
    EXPECT_TRUE(thread->DoServe(transaction.get()));
    thread->Terminate();
    EXPECT_TRUE(thread->DoServe(&answered));
}

// A line that reconnects every ten seconds for a week: only the last hour's entries are kept,
// and every count still comes out as if all were.
TEST(ComThreadStatistics, AWeekOfReconnectsCountsLikeAllWereKept)
{
    const TLineThreadPtr thread = LineThread();
    const TDateTime now = NowUTC();
    constexpr int perDay = 8640;
    for (int i = 7 * perDay; i >= 1; --i)
        thread->LogReconnectAt(now - (i - 0.5) / perDay); // half a step off the hour's edge
    EXPECT_EQ(thread->GetReconnectsCount(), 7 * perDay - 1);
    EXPECT_EQ(thread->GetReconnectsCountLastHour(), perDay / 24);
    EXPECT_EQ(thread->GetLastReconnect(), now - 0.5 / perDay);
}

// Connections after the first one count as reconnects, those of the last hour counted back
// from the latest; the workers' statistics and log settings are part of the thread's.
TEST(ComThreadStatistics, ReconnectsAndWorkers)
{
    const TLineThreadPtr thread = LineThread();
    const TDateTime now = NowUTC();
    thread->LogReconnectAt(now - 3.0 / 24);
    EXPECT_EQ(thread->GetReconnectsCount(), 0);
    EXPECT_EQ(thread->GetLastReconnect(), 0);
    thread->LogReconnectAt(now - 30.0 / 1440);
    thread->LogReconnectAt(now - 10.0 / 1440);
    EXPECT_EQ(thread->GetReconnectsCount(), 2);
    EXPECT_EQ(thread->GetReconnectsCountLastHour(), 2);
    EXPECT_EQ(thread->GetLastReconnect(), now - 10.0 / 1440);

    auto worker = LineThread(QStringLiteral("TCP:127.0.0.35:9"));
    worker->LogReconnectAt(now - 2.0 / 1440);
    worker->LogReconnectAt(now - 1.0 / 1440);
    TLineThread& workerRef = *worker;
    thread->WorkersList()->Add(std::move(worker));
    EXPECT_EQ(thread->GetWorkersCount(), 1);
    EXPECT_EQ(thread->GetReconnectsCount(), 3);
    EXPECT_EQ(thread->GetReconnectsCountLastHour(), 3);
    EXPECT_EQ(thread->GetLastReconnect(), now - 1.0 / 1440);

    thread->SetLogMemoIndex(42);
    thread->SetLogOptions({lgRx});
    thread->SetEnableLog(true);
    EXPECT_EQ(workerRef.GetLogMemoIndex(), 42);
    EXPECT_EQ(workerRef.GetLogOptions(), TLogCategorySet{lgRx});
    EXPECT_TRUE(workerRef.GetEnableLog());

    ASSERT_TRUE(WaitUntil([&] { return workerRef.ThreadID() != 0; }));
    TWorkerInfo info;
    thread->GetWorkerInfo(1, info);
    EXPECT_EQ(info.TimeStamp, 0);
    thread->GetWorkerInfo(0, info);
    EXPECT_EQ(info.DeviceName, "TCP:127.0.0.35:9");
    EXPECT_EQ(info.RemoteIP, "0.0.0.0:0");
    EXPECT_NE(info.ThreadID, 0u);
    EXPECT_GT(info.TimeStamp, 0);
}

// The processor time of the worker is measured while it runs.
TEST(ComThreadStatistics, ThreadTime)
{
    class TBusyThread : public TComThread {
    public:
        using TComThread::TComThread;

    protected:
        void Execute() override
        {
            volatile std::uint64_t sum = 0;
            while (!Terminated())
                for (int i = 0; i < 100000; ++i)
                    sum = sum + static_cast<std::uint64_t>(i);
        }
    };
    const auto thread = TComThread::Create<TBusyThread>(QStringLiteral("TCP:127.0.0.36:9"), false);
    EXPECT_TRUE(WaitUntil([&] { return thread->ThreadTime() > 20; }));
}

// An exception from a receive handler is logged on the main thread with its stack, raised again
// in the worker, logged there too, and the loop goes on.
TEST_F(ComThread, HandlerExceptionIsLoggedAndRaisedInTheWorker)
{
    TUdpPeer peer("127.0.0.37", TPeerMode::Echo);
    const auto thread = TComThread::Create<TEchoThread>(peer.DeviceName(), false);
    int received = 0;
    thread->OnReceive = [&](IComEventSender*, TDataPacket*) {
        if (++received == 1)
            throw EkxComException(QStringLiteral("handler failed"));
    };
    thread->RList()->Add(MakeTransaction(1, Frame(1)));
    thread->Event().SetEvent();
    ASSERT_TRUE(WaitUntil([&] { return received >= 3; }));

    EXPECT_TRUE(LogFileContains("\tTEchoThread:EkxComException:handler failed"));
    const QStringList lines = LogFileLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& line) { return line.contains("\t\t"); }))
        << "no stack lines";
    EXPECT_TRUE(FMemo0.Contains("TEchoThread:EkxComException:handler failed"));
    EXPECT_TRUE(thread->LastErrors().contains(QStringLiteral("TEchoThread:%1:EkxComException:handler failed").arg(peer.DeviceName())));
}

// A handler that frees the thread whose event it handles does not wait for the worker that
// waits for it: the thread ends and goes once the handler has returned.
TEST(ComThreadDestruction, FreedByItsOwnHandler)
{
    TUdpPeer peer("127.0.0.38", TPeerMode::Echo);
    const int destroyedBefore = Counters.Destroyed;
    auto thread = TComThread::Create<TEchoThread>(peer.DeviceName(), false);
    thread->OnReceive = [&](IComEventSender*, TDataPacket*) { thread.reset(); };
    thread->RList()->Add(MakeTransaction(1, Frame(1)));
    EXPECT_TRUE(WaitUntil([&] { return Counters.Destroyed == destroyedBefore + 1; }));
    EXPECT_EQ(thread, nullptr);
}

// Freeing a busy thread from the main thread keeps serving its launches while it waits, and is
// bounded by the line's own time-outs.
TEST(ComThreadDestruction, FreedWhileItReportsAndWhileItsPeerIsSilent)
{
    for (TPeerMode mode : {TPeerMode::Echo, TPeerMode::Silent}) {
        TUdpPeer peer("127.0.0.39", mode);
        auto thread = TComThread::Create<TEchoThread>(peer.DeviceName(), false);
        int events = 0;
        thread->OnReceive = [&](IComEventSender*, TDataPacket*) { ++events; };
        thread->OnDisconnectTransaction = [&](IComEventSender*, TDataTransaction*, bool&) { ++events; };
        thread->RList()->Add(MakeTransaction(1, Frame(1)));
        ASSERT_TRUE(WaitUntil([&] { return peer.Received() > 0; }));
        QElapsedTimer timer;
        timer.start();
        thread.reset();
        EXPECT_LT(timer.elapsed(), 4000);
    }
}
