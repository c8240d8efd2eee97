#include "ComTestSupport.h"
#include "comm/kxasync_component.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "platform/IniFile.h"
#include <QElapsedTimer>

using namespace ComTest;
using TestSupport::WaitUntil;

namespace {

// A protocol component whose line is the echo master of the tests.
class TEchoComponent : public TComComponent {
public:
    explicit TEchoComponent(QObject* owner = nullptr) : TComComponent(owner) { setObjectName("Line"); }
    ~TEchoComponent() override { CloseForDestruction(); }
    int ThreadsCreated = 0;

protected:
    TComThreadPtr<TComThread> CreateComThread() override
    {
        ++ThreadsCreated;
        return TComThread::Create<TEchoThread>(DeviceName(), MultiServer());
    }
};

// Records what the program-wide error destination sees.
class TRecordingDestination {
public:
    TRecordingDestination()
    {
        FDestination.OnActivateItem = [this](QObject*, TErrorItem* item, std::int32_t, std::int32_t&) {
            Events.append("on " + item->Message());
        };
        FDestination.OnDeactivateItem = [this](QObject*, TErrorItem* item, std::int32_t, std::int32_t&) {
            Events.append("off " + item->Message());
        };
    }
    QStringList Events;

private:
    TErrorDestination FDestination;
};

class TFakeDiagnosticForm : public IDiagnosticForm {
public:
    TFakeDiagnosticForm(int& shown, bool& destroyed) : FShown(shown), FDestroyed(destroyed) {}
    ~TFakeDiagnosticForm() override { FDestroyed = true; }
    void ShowNonModal() override { ++FShown; }

private:
    int& FShown;
    bool& FDestroyed;
};

class ComComponent : public LoggingTest {
protected:
    void AddRequest(TComComponent& component, int frame = 1)
    {
        component.ComThread()->RList()->Add(MakeTransaction(frame, Frame(frame)));
        component.ComThread()->Event().SetEvent();
    }
};

} // namespace

// A new component is closed and holds the defaults; opening without a device name only fires
// OnBeforeOpen.
TEST_F(ComComponent, DefaultsAndOpeningWithoutDevice)
{
    TEchoComponent component;
    EXPECT_EQ(component.BaudRate(), br110);
    EXPECT_EQ(component.DataBits(), da8);
    EXPECT_EQ(component.Parity(), paNone);
    EXPECT_EQ(component.Stopbits(), sb10);
    EXPECT_EQ(component.MaxRetries(), 8);
    EXPECT_EQ(component.TCPTimeOut(), 2000);
    EXPECT_EQ(component.LogOptions(), TLogCategorySet{lgAll});
    EXPECT_EQ(component.LogToFileOptions(), TLogCategorySet{lgAll});
    EXPECT_EQ(component.ComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(component.TransactionCount(), 0);
    EXPECT_FALSE(component.Connected());

    QStringList fired;
    component.OnBeforeOpen = [&](QObject* sender) { fired.append(sender == &component ? "before" : "?"); };
    component.OnAfterOpen = [&](QObject*) { fired.append("after"); };
    component.Open();
    EXPECT_FALSE(component.Enabled());
    EXPECT_EQ(fired, QStringList{"before"});
    EXPECT_EQ(component.ThreadsCreated, 0);

    component.SetDeviceName(" COM1 ");
    EXPECT_EQ(component.DeviceName(), "\\\\.\\COM1");
}

// Open twice makes one thread, close twice frees it once; while loading, only the wish is kept
// until Loaded; reopening takes the device name of the moment.
TEST_F(ComComponent, OpenCloseAndLoading)
{
    TUdpPeer first("127.0.0.51", TPeerMode::Echo);
    TUdpPeer second("127.0.0.52", TPeerMode::Echo);
    TEchoComponent component;
    component.SetLogMemoIndex(LineMemoIndex);
    component.SetEnableLogging(true);
    component.BeginLoading();
    component.SetDeviceName(first.DeviceName());
    component.Open();
    EXPECT_FALSE(component.Enabled());
    component.Loaded();
    EXPECT_TRUE(component.Enabled());
    EXPECT_EQ(component.IniFileSection(), "Line");
    component.Open();
    EXPECT_EQ(component.ThreadsCreated, 1);
    EXPECT_TRUE(FLineMemo.Contains(first.DeviceName() + "\tCommunication opened with " + first.DeviceName()));

    component.SetDeviceName(second.DeviceName());
    EXPECT_EQ(component.ComThread()->DeviceName(), first.DeviceName());
    component.Close();
    component.Close();
    EXPECT_FALSE(component.Enabled());
    component.Open();
    EXPECT_EQ(component.ComThread()->DeviceName(), second.DeviceName());
    EXPECT_EQ(component.ThreadsCreated, 2);

    component.TerminateThread();
    EXPECT_TRUE(component.ComThread()->Terminated());
    EXPECT_TRUE(component.Enabled());
}

// Every setting reaches the running thread; an unchanged data-bit setting pushes nothing, while
// any other setter pushes everything again.
TEST_F(ComComponent, SettingsReachTheThread)
{
    TUdpPeer peer("127.0.0.53", TPeerMode::Echo);
    TEchoComponent component;
    component.SetDeviceName(peer.DeviceName());
    component.SetLogFileName(FDir.File("line.log"));
    component.SetEnableLoggingToFile(true);
    component.SetLogToFileOptions({lgConnect});
    component.SetMaxRetries(3);
    component.Open();
    TComThread& thread = *component.ComThread();
    EXPECT_EQ(thread.GetTCPTimeOut(), 2000);
    EXPECT_EQ(thread.GetMaxRetries(), 3);
    EXPECT_TRUE(thread.GetEnableFileLog());
    EXPECT_EQ(thread.GetLogFileName(), FDir.File("line.log"));
    EXPECT_EQ(thread.GetLogToFileOptions(), TLogCategorySet{lgConnect});
    EXPECT_TRUE(TestSupport::ReadFileBytes(FDir.File("line.log")).contains("Communication opened with"));

    component.SetLineSleep(25);
    component.SetLogMemoIndex(9);
    component.SetEnableLogging(true);
    EXPECT_EQ(thread.GetLineSleep(), 25);
    EXPECT_EQ(thread.GetLogMemoIndex(), 9);
    EXPECT_TRUE(thread.GetEnableLog());

    thread.SetTCPTimeOut(5);
    component.SetDataBits(da8);
    EXPECT_EQ(thread.GetTCPTimeOut(), 5);
    component.SetBaudRate(component.BaudRate());
    EXPECT_EQ(thread.GetTCPTimeOut(), 2000);
    component.SetDataBits(da7);
    EXPECT_EQ(thread.GetDataBits(), da7);
}

// The thread's events become the component's, with the component as sender.
TEST_F(ComComponent, EventsComeFromTheComponent)
{
    TUdpPeer peer("127.0.0.54", TPeerMode::Echo);
    TEchoComponent component;
    component.SetDeviceName(peer.DeviceName());
    int received = 0;
    component.OnReceivePacket = [&](IComEventSender* sender, TDataPacket* packet) {
        EXPECT_EQ(dynamic_cast<TComComponent*>(sender), &component);
        EXPECT_EQ(packet->Data(), Frame(5));
        ++received;
    };
    component.Open();
    AddRequest(component, 5);
    ASSERT_TRUE(WaitUntil([&] { return received >= 3; }));
    EXPECT_TRUE(component.Connected());
    EXPECT_GE(component.TransactionCount(), 3);
}

// With an error terminal, a disconnect switches its item on with the component's name and
// device, and the next answered packet switches it off.
TEST_F(ComComponent, LineFailuresReachTheErrorTerminal)
{
    TUdpPeer peer("127.0.0.55", TPeerMode::Silent);
    TRecordingDestination destination;
    TErrorTerminal terminal;
    TErrorItem* item = terminal.Items().Add();
    item->SetLocalCode(4);
    item->SetErrorCode(40);
    item->SetLogStrategy(lgReLog);

    TEchoComponent component;
    component.SetDeviceName(peer.DeviceName());
    component.SetErrorTerminal(&terminal);
    component.SetErrorLocalCode(4);
    int disconnects = 0;
    component.OnDisconnectTransaction = [&](IComEventSender*, TDataTransaction*, bool&) { ++disconnects; };
    component.Open();
    AddRequest(component);
    ASSERT_TRUE(WaitUntil([&] { return item->Active(); }));
    EXPECT_GE(disconnects, 1);
    const QString message = "Line(" + peer.DeviceName() + ")";
    EXPECT_EQ(destination.Events.value(0), "on " + message);

    peer.SetMode(TPeerMode::Echo);
    ASSERT_TRUE(WaitUntil([&] { return !item->Active(); }));
    EXPECT_TRUE(destination.Events.contains("off " + message));
    component.Close();
}

// Freeing an open component whose peer is silent raises no disconnect event and returns within
// the line's own time-outs.
TEST_F(ComComponent, FreedWithoutDisconnectEvents)
{
    TUdpPeer peer("127.0.0.56", TPeerMode::Silent);
    auto component = std::make_unique<TEchoComponent>();
    component->SetDeviceName(peer.DeviceName());
    int disconnects = 0;
    component->OnDisconnect = [&](IComEventSender*, TDataPacket*, bool&) { ++disconnects; };
    component->OnDisconnectTransaction = [&](IComEventSender*, TDataTransaction*, bool&) { ++disconnects; };
    component->Open();
    AddRequest(*component);
    ASSERT_TRUE(WaitUntil([&] { return peer.Received() >= 1; }));
    QElapsedTimer timer;
    timer.start();
    component.reset();
    EXPECT_LT(timer.elapsed(), 4000);
    EXPECT_EQ(disconnects, 0);
}

// A line that cannot be opened raises out of Open, and the component stays closed.
TEST_F(ComComponent, OpenFailureReachesTheCaller)
{
    TEchoComponent component;
    component.SetDeviceName("/dev/nonexistent-vocator");
    bool after = false;
    component.OnAfterOpen = [&](QObject*) { after = true; };
    EXPECT_THROW(component.Open(), EkxComException);
    EXPECT_FALSE(component.Enabled());
    EXPECT_FALSE(after);
}

// The ini section is read through the component's setters; a bad data-bit count stops the
// reading with the keys before it applied.
TEST_F(ComComponent, ReadsItsIniSection)
{
    const QString iniFile = FDir.File("line.ini");
    TestSupport::WriteFileBytes(iniFile, "[Line]\nComPort=UDP:127.0.0.57:5000\nBaudRate=9601\nDataBits=7\nDTR=1\n"
                                         "LineSleep=5\nTCPTimeOut=3000\nLoggingToFile=1\nLoggingFile=x.log\n"
                                         "LoggingToFileOptions= lgrx , LGTX ,nothing\n"
                                         "[Bad]\nDeviceName=COM2\nBaudRate=19200\nDataBits=9\nDTR=1\n");
    TIniFile ini(iniFile);
    TEchoComponent component;
    component.Loaded();
    component.ReadFromIni(ini);
    EXPECT_EQ(component.DeviceName(), "UDP:127.0.0.57:5000");
    EXPECT_EQ(component.BaudRate(), br14400);
    EXPECT_EQ(component.DataBits(), da7);
    EXPECT_TRUE(component.DTR());
    EXPECT_EQ(component.LineSleep(), 5);
    EXPECT_EQ(component.TCPTimeOut(), 3000);
    EXPECT_TRUE(component.EnableLoggingToFile());
    EXPECT_EQ(component.LogFileName(), "x.log");
    EXPECT_EQ(component.LogToFileOptions(), (TLogCategorySet{lgTx, lgRx}));

    TEchoComponent bad;
    bad.SetIniFileSection("Bad");
    try {
        bad.ReadFromIni(ini);
        ADD_FAILURE() << "no exception";
    } catch (const EPacketException& e) {
        EXPECT_EQ(e.Message(), "Data bits out of range (9)");
    }
    EXPECT_EQ(bad.DeviceName(), "\\\\.\\COM2");
    EXPECT_EQ(bad.BaudRate(), br19200);
    EXPECT_FALSE(bad.DTR());
}

// The diagnostics window comes from the factory the window library installs: none without
// one, else made once, shown on demand and freed with the component.
TEST_F(ComComponent, DiagnosticFormComesFromTheFactory)
{
    int shown = 0;
    bool destroyed = false;
    {
        TEchoComponent component;
        component.ShowDiagnosticForm();
        EXPECT_EQ(component.DiagnosticForm(), nullptr);

        int made = 0;
        SetDiagnosticFormFactory([&](TComComponent& subject) -> std::unique_ptr<IDiagnosticForm> {
            EXPECT_EQ(&subject, &component);
            ++made;
            return std::make_unique<TFakeDiagnosticForm>(shown, destroyed);
        });
        component.ShowDiagnosticForm();
        component.ShowDiagnosticForm();
        EXPECT_EQ(made, 1);
        EXPECT_EQ(shown, 2);
        SetDiagnosticFormFactory(nullptr);
    }
    EXPECT_TRUE(destroyed);
}
