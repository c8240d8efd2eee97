#include "comm/kxasync_thread.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/JCLAutoException.h"
#include "platform/CodePage.h"
#include <QCoreApplication>
#include <QScopeGuard>
#include <QThread>
#include <algorithm>
#include <climits>

bool CategoryIsInOptions(TLogCategorySet Options, TLogCategory Category)
{
    return Options.Contains(Category) || Category == lgAll || Options.Contains(lgAll);
}

namespace {

constexpr int MostLastErrors = 21;
constexpr int MostWorkerInfoIndex = 255;
constexpr TDateTime OneHour = 1.0 / 24.0;

bool IsErrorCategory(TLogCategory category)
{
    return category == lgErrorLevel1 || category == lgErrorLevel2 || category == lgErrorLevel3;
}

[[noreturn]] void RaiseIndexError(int index)
{
    throw EkxComException(QStringLiteral("List index out of bounds (%1)").arg(index));
}

} // namespace

// ---- TComThreadDeleter ----

void TComThreadDeleter::operator()(TComThread* thread) const
{
    if (!thread)
        return;
    const QCoreApplication* app = QCoreApplication::instance();
    if (thread->InLaunch() && app && app->thread() == QThread::currentThread()) {
        // Freed by a handler of one of its own launches: the worker waits for that very handler,
        // so waiting for the worker here could never end. It is stopped now and freed once the
        // launch has returned.
        thread->OnReceive = nullptr;
        thread->OnReceiveTransaction = nullptr;
        thread->OnBeforeSend = nullptr;
        thread->Terminate();
        thread->Event().SetEvent();
        QMetaObject::invokeMethod(QCoreApplication::instance(), [thread] { TComThreadDeleter()(thread); }, Qt::QueuedConnection);
        return;
    }
    thread->StopWorker();
    delete thread;
}

// ---- TTransactionList ----

TDataTransaction* TTransactionList::TLocked::Items(int index) const
{
    if (index < 0 || index >= Count())
        RaiseIndexError(index);
    return FList->FItems[static_cast<std::size_t>(index)].get();
}

std::unique_ptr<TDataTransaction> TTransactionList::TLocked::Extract(int index)
{
    Items(index);
    auto& items = FList->FItems;
    std::unique_ptr<TDataTransaction> item = std::move(items[static_cast<std::size_t>(index)]);
    items.erase(items.begin() + index);
    return item;
}

TDataTransaction* TTransactionList::TLocked::RotateFirstToEnd()
{
    auto& items = FList->FItems;
    if (items.empty())
        return nullptr;
    std::rotate(items.begin(), items.begin() + 1, items.end());
    return items.back().get();
}

TTransactionList::~TTransactionList() { TTransactionList::Clear(); }

void TTransactionList::Add(std::unique_ptr<TDataTransaction> Transaction)
{
    std::lock_guard lock(FLock);
    AddLocked(std::move(Transaction));
}

void TTransactionList::AddLocked(std::unique_ptr<TDataTransaction> Transaction)
{
    if (!Transaction)
        return;
    const auto same = [&](const std::unique_ptr<TDataTransaction>& item) { return item.get() == Transaction.get(); };
    if (std::any_of(FItems.begin(), FItems.end(), same)) {
        // Already ours: the list keeps its one reference instead of freeing it twice.
        (void)Transaction.release();
        return;
    }
    FItems.push_back(std::move(Transaction));
}

void TTransactionList::Clear()
{
    std::lock_guard lock(FLock);
    FItems.clear();
}

int TTransactionList::Count() const
{
    std::lock_guard lock(FLock);
    return static_cast<int>(FItems.size());
}

// ---- TWorkersList ----

TWorkersList::~TWorkersList()
{
    TerminateAll();
    while (!FItems.empty()) {
        FItems.pop_back();
        FCount = static_cast<int>(FItems.size());
    }
}

void TWorkersList::CheckIndex(int index) const
{
    if (index < 0 || index >= static_cast<int>(FItems.size()))
        RaiseIndexError(index);
}

TComThread* TWorkersList::Items(int index) const
{
    CheckIndex(index);
    return FItems[static_cast<std::size_t>(index)].get();
}

void TWorkersList::SetItems(int index, TComThreadPtr<TComThread> worker)
{
    CheckIndex(index);
    FItems[static_cast<std::size_t>(index)] = std::move(worker);
}

void TWorkersList::Add(TComThreadPtr<TComThread> worker)
{
    FItems.push_back(std::move(worker));
    FCount = static_cast<int>(FItems.size());
}

void TWorkersList::TerminateAll()
{
    for (const auto& worker : FItems)
        if (worker)
            worker->Terminate();
}

void TWorkersList::FreeTerminated()
{
    for (int index = static_cast<int>(FItems.size()) - 1; index >= 0; --index) {
        const auto& worker = FItems[static_cast<std::size_t>(index)];
        if (!worker || worker->Finished()) {
            FItems.erase(FItems.begin() + index);
            FCount = static_cast<int>(FItems.size());
        }
    }
}

std::int64_t TWorkersList::ThreadTime() const
{
    std::int64_t sum = 0;
    for (const auto& worker : FItems)
        if (worker)
            sum += worker->ThreadTime();
    return sum;
}

int TWorkersList::TransactionCount() const
{
    int sum = 0;
    for (const auto& worker : FItems)
        if (worker)
            sum += worker->GetTransactionCount();
    return sum;
}

int TWorkersList::ReconnectsCount() const
{
    int sum = 0;
    for (const auto& worker : FItems)
        if (worker)
            sum += worker->GetReconnectsCount();
    return sum;
}

int TWorkersList::ReconnectsCountLastHour() const
{
    int sum = 0;
    for (const auto& worker : FItems)
        if (worker)
            sum += worker->GetReconnectsCountLastHour();
    return sum;
}

TDateTime TWorkersList::LastReconnect() const
{
    TDateTime latest = 0;
    for (const auto& worker : FItems)
        if (worker)
            latest = std::max(latest, worker->GetLastReconnect());
    return latest;
}

// ---- TTimedThread ----

TTimedThread::~TTimedThread() = default;

int TTimedThread::ListCount() const { return FList ? FList->Count() : 0; }

void TTimedThread::SetPause(bool value)
{
    if (FPause.exchange(value) != value)
        FEvent.SetEvent();
}

std::unique_ptr<TTransactionList> TTimedThread::CreateList() { return std::make_unique<TTransactionList>(); }

std::int64_t TTimedThread::ThreadTime() const { return CpuTimeMs(); }

// ---- TComThread: construction and destruction ----

TComThread::TComThread(const QString& ADeviceName, bool AMultiServer)
    : FDeviceName(ADeviceName), FMultiServer(AMultiServer),
      FTCP(CheckUDPPath(ADeviceName) || CheckTCPPath(ADeviceName)), FUDP(CheckUDPPath(ADeviceName)),
      FTCPServer(CheckTCPServer(ADeviceName)), FTCPSocket(CheckTCPSocket(ADeviceName)),
      FUDPServer(CheckUDPServer(ADeviceName)), FDefered(CheckDefered(ADeviceName))
{
}

void TComThread::Construct()
{
    FWorkersList = std::make_unique<TWorkersList>();
    FRList = CreateList();
    if (FMultiServer && !FTCPServer)
        throw EkxComException(ClassName() + QStringLiteral("-") + FDeviceName + QStringLiteral(":")
                              + QStringLiteral("Multy server in not allowed for specified connection string"));
    FList = CreateList();
    CreateSockets();
    OpenSerialPort();
    if (!FMultiServer)
        SetPriority(TThreadPriority::tpAboveNormal);
    SetParity(paNone);
    SetMaxRetries(8);
}

void TComThread::CreateSockets()
{
    if (!FTCP)
        return;
    if (FUDP)
        FSocket = std::make_unique<TUDPBlockSocket>();
    else
        FSocket = std::make_unique<TTCPBlockSocket>();
    // Kept for every socket the object makes or adopts: a close resets the connection at once
    // instead of leaving the peer a half-closed one.
    FSocket->SetLinger(true, 0);
    if (FTCPServer)
        FServerSocket = std::make_unique<TTCPBlockSocket>();
}

void TComThread::OpenSerialPort()
{
    if (FTCP || FDefered)
        return;
    if (CreateHandle(FDeviceName) == INVALID_HANDLE_VALUE)
        throw EkxComException(ClassName() + QStringLiteral("-") + FDeviceName + QStringLiteral(":") + FComPort.LastErrorDesc());
}

void TComThread::StopWorker()
{
    OnReceive = nullptr;
    OnReceiveTransaction = nullptr;
    OnBeforeSend = nullptr;
    FEvent.SetEvent();
    Terminate();
    // On the main thread the wait keeps running the worker's launches.
    if (Started())
        WaitFor();
}

TComThread::~TComThread()
{
    StopWorker();
    {
        std::lock_guard lock(FSO);
        FComPort.Close();
    }
    FSocket.reset();
    FServerSocket.reset();
    FWorkersList.reset();
    FRList.reset();
}

void TComThread::TerminatedSet() { FTerminateSignal.SetEvent(); }

void TComThread::PauseUnlessTerminated(int milliseconds)
{
    if (!Terminated())
        FTerminateSignal.WaitFor(milliseconds);
}

// ---- Work ----

int TComThread::RListCount() const { return FRList ? FRList->Count() : 0; }

std::unique_ptr<TDataTransaction> TComThread::GetNextTransaction()
{
    std::unique_ptr<TDataTransaction> noSpare;
    return TakeNextTransaction(noSpare);
}

std::unique_ptr<TDataTransaction> TComThread::TakeNextTransaction(std::unique_ptr<TDataTransaction>& spare)
{
    // Always the command list first, then the repeat list.
    TTransactionList::TLocked commands = FList->LockList();
    TTransactionList::TLocked repeats = FRList->LockList();
    if (repeats.Count() > 0)
        ++FCCounter;
    if (commands.Count() > 0 && FCCounter <= FCommandsPerRepeat)
        return commands.Extract(0);
    if (repeats.Count() > 0) {
        const TDataTransaction* turn = repeats.RotateFirstToEnd();
        FCCounter = 0;
        // A copy, so that the list may be edited or drawn while the worker uses it.
        if (spare && spare->RenewFrom(*turn))
            return std::move(spare);
        return turn->Clone();
    }
    return nullptr;
}

void TComThread::Assign(const TComThread& Source)
{
    SetTCPTimeOut(Source.GetTCPTimeOut());
    SetEnableLog(Source.GetEnableLog());
    SetLineSleep(Source.GetLineSleep());
    SetLogMemoIndex(Source.GetLogMemoIndex());
    SetLogOptions(Source.GetLogOptions());
    OnServe = Source.OnServe;
    OnServePacket = Source.OnServePacket;
}

// ---- Launches ----

void TComThread::Launch(const std::function<void()>& operation)
{
    Synchronize([this, &operation] {
        ++FLaunchDepth;
        const auto leave = qScopeGuard([this] { --FLaunchDepth; });
        operation();
    });
}

void TComThread::LaunchWith(TDataPacket* packet, TDataTransaction* transaction, void (TComThread::*operation)())
{
    FLaunchPacket = packet;
    FLaunchTransaction = transaction;
    const auto forget = qScopeGuard([this] {
        FLaunchPacket = nullptr;
        FLaunchTransaction = nullptr;
    });
    // By reference: the launch ends before this call does, and two pointers fit into the
    // function object without an allocation.
    Launch([this, &operation] { (this->*operation)(); });
}

void TComThread::GuardCallbacks(const std::function<void()>& callbacks)
{
    try {
        callbacks();
    } catch (const Exception& E) {
        WriteToLog(ClassName() + QStringLiteral(":") + E.ClassName() + QStringLiteral(":") + E.Message(), 0);
        WriteJCLInfoToFile(QString(), -1);
        WriteJCLInfoToMemo(0, -1);
        throw;
    }
}

// Each handler runs from a copy: it may replace or clear the callback that holds it.

void TComThread::LaunchBeforeSend()
{
    GuardCallbacks([this] {
        if (const TPacketEvent handler = OnBeforeSend)
            handler(this, FLaunchPacket);
    });
}

void TComThread::LaunchOnReceive()
{
    GuardCallbacks([this] {
        if (const TPacketEvent handler = OnReceive; handler && FLaunchPacket)
            handler(this, FLaunchPacket);
        if (const TTRansactionEvent handler = OnReceiveTransaction; handler && FLaunchTransaction)
            handler(this, FLaunchTransaction);
    });
}

void TComThread::LaunchOnServe()
{
    if (Terminated()) {
        FLaunchCancel = true;
        return;
    }
    GuardCallbacks([this] {
        if (const TTransactionCancelEvent handler = OnServe; handler && FLaunchTransaction)
            handler(this, FLaunchTransaction, FLaunchCancel);
        if (const TComCancelEvent handler = OnServePacket; handler && FLaunchPacket)
            handler(this, FLaunchPacket, FLaunchCancel);
    });
}

void TComThread::LaunchOnDisconnect()
{
    GuardCallbacks([this] {
        if (const TComCancelEvent handler = OnDisconnect)
            handler(this, FLaunchPacket, FLaunchCancel);
        if (const TTransactionCancelEvent handler = OnDisconnectTransaction)
            handler(this, FLaunchTransaction, FLaunchCancel);
    });
}

// ---- Reports of the worker ----

void TComThread::DoReceive(TDataPacket* Packet)
{
    FConnected = true;
    if (!Packet || !Packet->LaunchOnReceive)
        return;
    const std::uint32_t started = GetTickCount();
    ++FTransactionCount;
    LaunchWith(Packet, nullptr, &TComThread::LaunchOnReceive);
    const std::uint32_t ended = GetTickCount();
    // A wrap of the tick count in between leaves the last value standing.
    if (ended >= started) {
        const int waited = static_cast<int>(ended - started);
        FSyncTime = waited;
        if (waited > FMaxSyncTime)
            FMaxSyncTime = waited;
    }
}

void TComThread::DoDisconnect(TDataPacket* Packet, bool& Cancel)
{
    FConnected = false;
    LaunchWith(Packet, nullptr, &TComThread::LaunchOnDisconnect);
    Cancel = FLaunchCancel;
}

void TComThread::DoDisconnect(TDataTransaction* Transaction, bool& Cancel)
{
    FConnected = false;
    LaunchWith(nullptr, Transaction, &TComThread::LaunchOnDisconnect);
    Cancel = FLaunchCancel;
}

bool TComThread::DoServe(TDataPacket* Packet)
{
    FLaunchCancel = false;
    LaunchWith(Packet, nullptr, &TComThread::LaunchOnServe);
    return FLaunchCancel;
}

bool TComThread::DoServe(TDataTransaction* Transaction)
{
    FConnected = true;
    FLaunchCancel = false;
    LaunchWith(nullptr, Transaction, &TComThread::LaunchOnServe);
    return FLaunchCancel;
}

// ---- Line settings ----

DCB TComThread::GetDCB() const
{
    std::lock_guard lock(FSO);
    return FComDCB;
}

void TComThread::SetDCB(const DCB& dcb)
{
    QString failure;
    {
        std::lock_guard lock(FSO);
        FComDCB = dcb;
        failure = ApplyLineSettings();
    }
    LogLineSettingsFailure(failure);
}

void TComThread::SetBaudRate(TcmBaudrate value)
{
    DCB dcb = GetDCB();
    ::SetBaudRate(dcb, value);
    SetDCB(dcb);
}

TcmBaudrate TComThread::GetBaudRate() const { return ::GetBaudRate(GetDCB()); }

void TComThread::SetDataBits(TDatabits value)
{
    DCB dcb = GetDCB();
    ::SetDataBits(dcb, value);
    SetDCB(dcb);
}

TDatabits TComThread::GetDataBits() const { return ::GetDataBits(GetDCB()); }

void TComThread::SetParity(TcmParity value)
{
    DCB dcb = GetDCB();
    ::SetParity(dcb, value);
    SetDCB(dcb);
}

TcmParity TComThread::GetParity() const { return ::GetParity(GetDCB()); }

void TComThread::SetStopbits(TStopbits value)
{
    DCB dcb = GetDCB();
    ::SetStopbits(dcb, value);
    SetDCB(dcb);
}

TStopbits TComThread::GetStopbits() const { return ::GetStopbits(GetDCB()); }

void TComThread::SetFlowControl(TFlowControl value)
{
    DCB dcb;
    {
        std::lock_guard lock(FSO);
        FFlowControl = value;
        dcb = FComDCB;
    }
    ::SetFlowControl(dcb, value);
    SetDCB(dcb);
}

TFlowControl TComThread::GetFlowControl() const
{
    std::lock_guard lock(FSO);
    return FFlowControl;
}

void TComThread::SetRTSIsDirection(bool value)
{
    {
        std::lock_guard lock(FSO);
        FRTSIsDirection = value;
    }
    if (!value)
        return;
    SetFlowControl(fcNone);
    std::lock_guard lock(FSO);
    // The direction signal rests low: the line listens until we send.
    FComPort.ClrRTS();
}

bool TComThread::GetRTSIsDirection() const
{
    std::lock_guard lock(FSO);
    return FRTSIsDirection;
}

void TComThread::SetDTR(bool value)
{
    std::lock_guard lock(FSO);
    FDTR = value;
}

bool TComThread::GetDTR() const
{
    std::lock_guard lock(FSO);
    return FDTR;
}

int TComThread::GetBitsPerChar() const { return ::GetBitsPerChar(GetDCB()); }

int TComThread::GetMaxRetries() const
{
    std::lock_guard lock(FSO);
    return FMaxRetries;
}

void TComThread::SetMaxRetries(int value)
{
    std::lock_guard lock(FSO);
    FMaxRetries = value;
}

int TComThread::GetTCPTimeOut() const
{
    std::lock_guard lock(FSO);
    return FTCPTimeOut;
}

void TComThread::SetTCPTimeOut(int value)
{
    std::lock_guard lock(FSO);
    FTCPTimeOut = value;
}

// ---- Logging ----

void TComThread::DoLog(const QString& Msg, TLogCategory Category) { DoLog(ToAnsi(Msg), Category); }

void TComThread::DoLog(const QByteArray& Msg, TLogCategory Category)
{
    int memoIndex = 0;
    bool fileLog = false;
    QString fileName;
    TLogCategorySet memoOptions;
    TLogCategorySet fileOptions;
    {
        std::lock_guard lock(FSO);
        memoIndex = FLogMemoIndex;
        fileLog = FEnableFileLog;
        fileName = FLogFileName;
        memoOptions = FLogOptions;
        fileOptions = FLogToFileOptions;
    }
    // Written without holding SO: a memo line may wait for the main thread, which may want SO.
    const QByteArray line = ToAnsi(FDeviceName) + '\t' + Msg;
    if (FEnableLog && CategoryIsInOptions(memoOptions, Category))
        WriteToMemo(line, memoIndex);
    if (fileLog && CategoryIsInOptions(fileOptions, Category))
        WriteToFile(FromAnsi(line), fileName);
    if (IsErrorCategory(Category)) {
        std::lock_guard lock(FSO);
        while (FLastErrors.size() >= MostLastErrors)
            FLastErrors.removeFirst();
        FLastErrors.append(FromAnsi(Msg));
    }
}

template <class TAction>
void TComThread::ForEachWorker(TAction action) const
{
    if (!FWorkersList)
        return;
    for (int index = 0; index < FWorkersList->Count(); ++index)
        if (TComThread* worker = FWorkersList->Items(index))
            action(*worker);
}

void TComThread::SetEnableLog(bool value)
{
    FEnableLog = value;
    std::lock_guard lock(FSO);
    ForEachWorker([value](TComThread& worker) { worker.SetEnableLog(value); });
}

bool TComThread::GetEnableFileLog() const
{
    std::lock_guard lock(FSO);
    return FEnableFileLog;
}

void TComThread::SetEnableFileLog(bool value)
{
    std::lock_guard lock(FSO);
    if (FEnableFileLog == value)
        return;
    FEnableFileLog = value;
    ForEachWorker([value](TComThread& worker) { worker.SetEnableFileLog(value); });
}

int TComThread::GetLogMemoIndex() const
{
    std::lock_guard lock(FSO);
    return FLogMemoIndex;
}

void TComThread::SetLogMemoIndex(int value)
{
    std::lock_guard lock(FSO);
    FLogMemoIndex = value;
    ForEachWorker([value](TComThread& worker) { worker.SetLogMemoIndex(value); });
}

QString TComThread::GetLogFileName() const
{
    std::lock_guard lock(FSO);
    return FLogFileName;
}

void TComThread::SetLogFileName(const QString& value)
{
    std::lock_guard lock(FSO);
    if (FLogFileName == value)
        return;
    FLogFileName = value;
    ForEachWorker([&value](TComThread& worker) { worker.SetLogFileName(value); });
}

TLogCategorySet TComThread::GetLogOptions() const
{
    std::lock_guard lock(FSO);
    return FLogOptions;
}

void TComThread::SetLogOptions(TLogCategorySet value)
{
    std::lock_guard lock(FSO);
    FLogOptions = value;
    ForEachWorker([value](TComThread& worker) { worker.SetLogOptions(value); });
}

TLogCategorySet TComThread::GetLogToFileOptions() const
{
    std::lock_guard lock(FSO);
    return FLogToFileOptions;
}

void TComThread::SetLogToFileOptions(TLogCategorySet value)
{
    std::lock_guard lock(FSO);
    FLogToFileOptions = value;
    ForEachWorker([value](TComThread& worker) { worker.SetLogToFileOptions(value); });
}

QStringList TComThread::LastErrors() const
{
    std::lock_guard lock(FSO);
    return FLastErrors;
}

QString TComThread::GetLastErrorMsg() const
{
    std::lock_guard lock(FSO);
    return FLastErrors.isEmpty() ? QString() : FLastErrors.last();
}

// ---- Statistics ----

int TComThread::GetTransactionCount() const
{
    std::lock_guard lock(FSO);
    return FTransactionCount + (FWorkersList ? FWorkersList->TransactionCount() : 0);
}

std::int64_t TComThread::ThreadTime() const
{
    std::lock_guard lock(FSO);
    return TTimedThread::ThreadTime() + (FWorkersList ? FWorkersList->ThreadTime() : 0);
}

void TComThread::LogReconnect() { LogReconnectAt(NowUTC()); }

void TComThread::LogReconnectAt(TDateTime utc)
{
    std::lock_guard lock(FSO);
    ++FConnections;
    FReconnects.push_back(utc);
    while (FReconnects.size() > 1 && utc - FReconnects.front() > OneHour)
        FReconnects.pop_front();
}

// The first connection is no reconnect.
int TComThread::GetReconnectsCount() const
{
    std::lock_guard lock(FSO);
    const auto own = static_cast<int>(std::min<std::uint64_t>(FConnections > 0 ? FConnections - 1 : 0, INT_MAX));
    return own + (FWorkersList ? FWorkersList->ReconnectsCount() : 0);
}

int TComThread::GetReconnectsCountLastHour() const
{
    std::lock_guard lock(FSO);
    const TDateTime now = NowUTC();
    // The first connection, when it is still kept, is at the front and does not count.
    const std::size_t firstKept = FConnections == FReconnects.size() ? 1 : 0;
    int count = 0;
    for (std::size_t index = FReconnects.size(); index-- > firstKept;) {
        if (now - FReconnects[index] > OneHour)
            break;
        ++count;
    }
    return count + (FWorkersList ? FWorkersList->ReconnectsCountLastHour() : 0);
}

TDateTime TComThread::GetLastReconnect() const
{
    std::lock_guard lock(FSO);
    const TDateTime own = FConnections >= 2 ? FReconnects.back() : 0;
    return std::max(own, FWorkersList ? FWorkersList->LastReconnect() : 0);
}

void TComThread::GetWorkerInfo(int Index, TWorkerInfo& Info) const
{
    {
        std::lock_guard lock(FSO);
        if (Index < 0 || Index >= GetWorkersCount() || Index > MostWorkerInfoIndex)
            return;
        const TComThread* found = FWorkersList->Items(Index);
        if (!found)
            return;
        const TComThread& worker = *found;
        Info.ThreadID = worker.ThreadID();
        Info.DeviceName = worker.GetDeviceName();
        if (worker.FSocket)
            Info.RemoteIP = worker.FSocket->GetRemoteSinIP() + QStringLiteral(":") + QString::number(worker.FSocket->GetRemoteSinPort());
        Info.TransactionCount = static_cast<std::uint32_t>(worker.GetTransactionCount());
    }
    Info.TimeStamp = NowUTC();
}
