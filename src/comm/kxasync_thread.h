#pragma once
#include "comm/kxasync_packets.h"
#include "comm/kxasync_settings.h"
#include "platform/BlockSocket.h"
#include "platform/DateTime.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <deque>
#include <type_traits>
#include <vector>

// The communication worker thread: the connection to one peer, the transaction lists that feed it
// work, the line and logging settings and the statistics of the line. It hands its results to the
// main thread by running event callbacks there while it waits (a launch). The loop that sends
// requests and reads answers belongs to the thread of a concrete protocol, derived from TComThread.

class TComThread;

// What engine events pass as Sender: the thread that raised the event, or the component that
// passes it on to its own handlers. A handler that needs more casts it to what it expects.
class IComEventSender {
public:
    virtual ~IComEventSender() = default;
};

using TPacketEvent = std::function<void(IComEventSender* Sender, TDataPacket* Packet)>;
using TTRansactionEvent = std::function<void(IComEventSender* Sender, TDataTransaction* Transaction)>;
using TComCancelEvent = std::function<void(IComEventSender* Sender, TDataPacket* Packet, bool& CancelRequest)>;
using TTransactionCancelEvent = std::function<void(IComEventSender* Sender, TDataTransaction* DT, bool& CancelRequest)>;

// A line logged with Category is written where Options select it: Category is in Options, or
// either of them holds lgAll.
bool CategoryIsInOptions(TLogCategorySet Options, TLogCategory Category);

// The serial handle of a line that has none (closed, or a network line).
inline constexpr int INVALID_HANDLE_VALUE = -1;

// Frees a communication thread the only safe way: the worker is stopped and waited for, while
// the waiting thread keeps serving its launches, before any part of the object goes.
struct TComThreadDeleter {
    void operator()(TComThread* thread) const;
};
template <class T>
using TComThreadPtr = std::unique_ptr<T, TComThreadDeleter>;

// A list of transactions with its own lock, owning its items. Everything but Add, Clear and Count
// goes through LockList, which holds the lock for as long as its result lives.
class TTransactionList {
public:
    class TLocked {
    public:
        int Count() const noexcept { return static_cast<int>(FList->FItems.size()); }
        // Raise EkxComException for an index outside 0 .. Count - 1.
        TDataTransaction* Items(int index) const;
        std::unique_ptr<TDataTransaction> Extract(int index);
        void Delete(int index) { Extract(index); }
        void Add(std::unique_ptr<TDataTransaction> Transaction) { FList->AddLocked(std::move(Transaction)); }
        void Clear() { FList->FItems.clear(); }
        // The first item, moved to the end of the list.
        TDataTransaction* RotateFirstToEnd();

    private:
        friend class TTransactionList;
        explicit TLocked(TTransactionList& list) : FGuard(list.FLock), FList(&list) {}
        std::unique_lock<std::recursive_mutex> FGuard;
        TTransactionList* FList;
    };

    TTransactionList() = default;
    virtual ~TTransactionList();
    TTransactionList(const TTransactionList&) = delete;
    TTransactionList& operator=(const TTransactionList&) = delete;

    TLocked LockList() { return TLocked(*this); }
    // Under the lock; a transaction the list already holds is not added twice.
    void Add(std::unique_ptr<TDataTransaction> Transaction);
    // Frees every transaction, under the lock.
    virtual void Clear();
    int Count() const;

private:
    void AddLocked(std::unique_ptr<TDataTransaction> Transaction);

    mutable std::recursive_mutex FLock;
    std::vector<std::unique_ptr<TDataTransaction>> FItems;
};

// The worker threads of a server that serves several clients at once; removing one frees it.
class TWorkersList {
public:
    TWorkersList() = default;
    // Asks every worker to end, then frees each, waiting for it.
    ~TWorkersList();
    TWorkersList(const TWorkersList&) = delete;
    TWorkersList& operator=(const TWorkersList&) = delete;

    // Read without a lock by any thread.
    int Count() const noexcept { return FCount.load(); }
    TComThread* Items(int index) const;
    void SetItems(int index, TComThreadPtr<TComThread> worker);
    void Add(TComThreadPtr<TComThread> worker);

    void TerminateAll();
    // Frees the workers whose body has ended, from the last one down.
    void FreeTerminated();

    std::int64_t ThreadTime() const;
    int TransactionCount() const;
    int ReconnectsCount() const;
    int ReconnectsCountLastHour() const;
    // The latest of the workers' last reconnects, 0 when none has one.
    TDateTime LastReconnect() const;

private:
    void CheckIndex(int index) const;

    std::vector<TComThreadPtr<TComThread>> FItems;
    std::atomic<int> FCount{0};
};

struct TWorkerInfo {
    std::uint32_t ThreadID = 0;
    std::uint32_t TransactionCount = 0;
    QString DeviceName;
    // "address:port" of the worker's peer.
    QString RemoteIP;
    // UTC.
    TDateTime TimeStamp = 0;
};

// A thread with a command list, a re-entrant lock for its settings and a wake-up event.
class TTimedThread : public TThread {
public:
    ~TTimedThread() override;

    // Guards the settings and statistics of the thread.
    std::recursive_mutex& SO() const noexcept { return FSO; }
    // The one-shot commands; null until the thread has been built.
    TTransactionList* List() const noexcept { return FList.get(); }
    int ListCount() const;
    // Wakes the worker: signalled, it ends one wait (auto-reset, created not signalled).
    TEvent& Event() noexcept { return FEvent; }
    bool Pause() const noexcept { return FPause.load(); }
    // A change is stored and signals Event.
    void SetPause(bool value);

    // A new, empty list; builds the thread's lists, so a derived thread can supply its own kind.
    virtual std::unique_ptr<TTransactionList> CreateList();
    // Milliseconds of processor time the thread has used.
    virtual std::int64_t ThreadTime() const;

protected:
    TTimedThread() = default;

    mutable std::recursive_mutex FSO;
    std::unique_ptr<TTransactionList> FList;
    TEvent FEvent;
    std::atomic<bool> FPause{false};
};

// The communication thread. Build one with Create, which runs the whole construction (with the
// virtual operations of the derived class) and starts the worker; free it through its
// TComThreadPtr, which stops the worker first.
//
// A derived protocol thread overrides Execute: until Terminated, it takes work from
// GetNextTransaction or TakeNextTransaction (and frees it when done, or keeps it as the spare),
// waits on Event with a time-out when there is none, moves bytes with WriteData/ReadData (or WriteBuf/ReadBuf), reports answers with DoReceive and
// failures with DoDisconnect, and catches every Exception of a pass, logs it with DoLog at
// lgErrorLevel1 and goes on. It may override TryReadBuf and WriteBuf to add framing (calling
// these versions for the bytes), DoTCPConnect to act on every new network connection, and the
// Launch... operations; it raises events of its own with Launch and GuardCallbacks.
class TComThread : public TTimedThread, public IComEventSender {
public:
    // Builds a T for the device name, lets beforeStart set up what the worker reads without a
    // lock, and starts the worker. Raises EkxComException for a multi-server switch on a name
    // that is no "TCPSERVER:" and for a serial port that cannot be opened; no thread runs then.
    template <class T>
    static TComThreadPtr<T> Create(const QString& ADeviceName, bool AMultiServer,
                                   const std::function<void(T&)>& beforeStart = {});

    // Only the plain fields; Create does the rest.
    TComThread(const QString& ADeviceName, bool AMultiServer);
    ~TComThread() override;

    virtual QString ClassName() const { return QStringLiteral("TComThread"); }

    // Callbacks, run on the main thread by the launches; set and cleared on the main thread.
    TPacketEvent OnBeforeSend;
    TPacketEvent OnReceive;
    TTRansactionEvent OnReceiveTransaction;
    TComCancelEvent OnDisconnect;
    TTransactionCancelEvent OnDisconnectTransaction;
    TTransactionCancelEvent OnServe;
    TComCancelEvent OnServePacket;

    // ---- Classification of the device name, fixed at construction ----
    // Any network kind, UDP ones included.
    bool TCP() const noexcept { return FTCP; }
    bool UDP() const noexcept { return FUDP; }
    bool TCPServer() const noexcept { return FTCPServer; }
    bool TCPSocket() const noexcept { return FTCPSocket; }
    bool UDPServer() const noexcept { return FUDPServer; }
    bool Defered() const noexcept { return FDefered; }
    bool MultiServer() const noexcept { return FMultiServer; }
    QString GetDeviceName() const { return FDeviceName; }
    QString DeviceName() const { return FDeviceName; }
    // The serial handle, INVALID_HANDLE_VALUE while closed and for network lines.
    int GetComHandle() const;

    // ---- Work ----
    TTransactionList* RList() const noexcept { return FRList.get(); }
    int RListCount() const;
    // The next transaction to send, owned by the caller, or null: commands first, at most
    // CommandsPerRepeat of them between two repeat transactions, which take turns and are handed
    // out as copies (the list keeps its own).
    virtual std::unique_ptr<TDataTransaction> GetNextTransaction();
    // The same turn; a repeat's copy is made in spare (handed back then, spare left empty) where
    // spare can renew itself from the repeat, which spares a worker that keeps the copy of its
    // last turn the allocations of a new one. Otherwise spare stays as it is.
    std::unique_ptr<TDataTransaction> TakeNextTransaction(std::unique_ptr<TDataTransaction>& spare);
    // Copies the TCP time-out, the memo log settings, the line sleep and OnServe/OnServePacket.
    virtual void Assign(const TComThread& Source);

    // ---- Line settings; each setter re-applies the record to a serial port ----
    DCB GetDCB() const;
    // Stores the record and applies it to the device, under SO.
    virtual void SetDCB(const DCB& dcb);
    void SetBaudRate(TcmBaudrate value);
    TcmBaudrate GetBaudRate() const;
    void SetDataBits(TDatabits value);
    TDatabits GetDataBits() const;
    void SetParity(TcmParity value);
    TcmParity GetParity() const;
    void SetStopbits(TStopbits value);
    TStopbits GetStopbits() const;
    void SetFlowControl(TFlowControl value);
    TFlowControl GetFlowControl() const;
    // RTS as direction signal: raised while sending, dropped one character time after the last
    // byte has left. Switching it on also switches flow control off and drops RTS.
    void SetRTSIsDirection(bool value);
    bool GetRTSIsDirection() const;
    // Taken by the next application of the settings.
    void SetDTR(bool value);
    bool GetDTR() const;
    int GetBitsPerChar() const;
    int GetMaxRetries() const;
    void SetMaxRetries(int value);
    int GetTCPTimeOut() const;
    void SetTCPTimeOut(int value);
    int GetLineSleep() const noexcept { return FLineSleep.load(); }
    void SetLineSleep(int value) noexcept { FLineSleep = value; }

    // ---- Logging; the setters pass the value on to every worker ----
    // Memo and file, filtered by the categories; error categories also enter LastErrors. Any
    // thread; never holds a lock while writing.
    void DoLog(const QString& Msg, TLogCategory Category);
    void DoLog(const QByteArray& Msg, TLogCategory Category);
    bool GetEnableLog() const noexcept { return FEnableLog.load(); }
    void SetEnableLog(bool value);
    bool GetEnableFileLog() const;
    void SetEnableFileLog(bool value);
    int GetLogMemoIndex() const;
    void SetLogMemoIndex(int value);
    QString GetLogFileName() const;
    void SetLogFileName(const QString& value);
    TLogCategorySet GetLogOptions() const;
    void SetLogOptions(TLogCategorySet value);
    TLogCategorySet GetLogToFileOptions() const;
    void SetLogToFileOptions(TLogCategorySet value);
    // The latest messages logged in an error category, oldest first, at most 21.
    QStringList LastErrors() const;
    QString GetLastErrorMsg() const;

    // ---- Statistics; plain counters may be read a little stale ----
    bool Connected() const noexcept { return FConnected.load(); }
    int CRCFails() const noexcept { return FCRCFails.load(); }
    int ExchangeTime() const noexcept { return FExchangeTime.load(); }
    // How long the worker waited for the main thread in the last receive launch, and the most.
    int SyncTime() const noexcept { return FSyncTime.load(); }
    int MaxSyncTime() const noexcept { return FMaxSyncTime.load(); }
    void SetMaxSyncTime(int value) noexcept { FMaxSyncTime = value; }
    // Receive launches, the workers' included.
    int GetTransactionCount() const;
    std::int64_t ThreadTime() const override;
    // Connections after the first one, the workers' included.
    int GetReconnectsCount() const;
    int GetReconnectsCountLastHour() const;
    // UTC; 0 before the first reconnect.
    TDateTime GetLastReconnect() const;

    int GetWorkersCount() const noexcept { return FWorkersList ? FWorkersList->Count() : 0; }
    TWorkersList* WorkersList() const noexcept { return FWorkersList.get(); }
    // Fills Info for a worker index in 0 .. WorkersCount - 1 (at most 255); leaves it otherwise.
    void GetWorkerInfo(int Index, TWorkerInfo& Info) const;

protected:
    // ---- Launches: run on the main thread while the worker waits ----
    virtual void LaunchBeforeSend();
    virtual void LaunchOnReceive();
    virtual void LaunchOnServe();
    virtual void LaunchOnDisconnect();
    // Runs an operation of this thread on the main thread and waits for it; an exception raised
    // there comes back here.
    void Launch(const std::function<void()>& operation);
    // Runs callbacks on the main thread: an Exception they raise is logged with its stack (default
    // log file and memo 0) and raised again, so that it travels back into the worker.
    void GuardCallbacks(const std::function<void()>& callbacks);

    // ---- Reports of the worker ----
    void DoReceive(TDataPacket* Packet);
    void DoDisconnect(TDataPacket* Packet, bool& Cancel);
    void DoDisconnect(TDataTransaction* Transaction, bool& Cancel);
    // Both give the callbacks' cancel answer.
    bool DoServe(TDataPacket* Packet);
    bool DoServe(TDataTransaction* Transaction);
    // Runs on the worker after every successful network connection; empty here.
    virtual void DoTCPConnect() {}

    // ---- Transports, worker side ----
    // Opens the serial port of a device name at 115200 bit/s, the rest as the driver has it; the
    // handle, or INVALID_HANDLE_VALUE, which makes the construction fail with the system's reason.
    virtual int CreateHandle(const QString& DeviceName);
    // Bytes read, with the line's error handling: a network error closes the socket, a deferred
    // port that brought less than asked is closed.
    virtual int ReadBuf(void* Buffer, int Count, int TimeOut);
    // Bytes read; -1 after a failed serial read.
    virtual int TryReadBuf(void* Buffer, int Count, int TimeOut);
    // Bytes written, or -1.
    virtual int WriteBuf(const void* Buffer, int Count, int TimeOut);
    // UDP: one whole datagram of at most Capacity bytes within TimeOut, with ReadBuf's error
    // handling; its size, 0 when none came.
    int ReadDatagram(void* Buffer, int Capacity, int TimeOut);
    // True when exactly Count bytes came (a Count below 1 reads nothing and gives true).
    bool ReadData(int Count, QByteArray& S, int TimeOut);
    bool WriteData(const QByteArray& S, int TimeOut);
    // Discards received input.
    bool Purge();
    bool TCPConnect();
    void TCPClose();
    void DeferedConnect();
    void DeferedClose();
    // Applies the time-outs, the record and DTR to the serial port, or the time-outs to the socket.
    void SetUpDCB();
    // Appends the current UTC time to the connections.
    void LogReconnect();
    void LogReconnectAt(TDateTime utc);
    // Sleeps unless the thread is asked to end, which also cuts the pause short.
    void PauseUnlessTerminated(int milliseconds);

    void TerminatedSet() override;

    const QString FDeviceName;
    std::atomic<bool> FConnected{false};
    TDataPacket* FLaunchPacket = nullptr;
    TDataTransaction* FLaunchTransaction = nullptr;
    bool FLaunchCancel = false;
    std::atomic<int> FCRCFails{0};
    std::atomic<int> FSyncTime{0};
    std::atomic<int> FMaxSyncTime{0};
    std::atomic<int> FTransactionCount{0};
    std::atomic<int> FExchangeTime{0};
    const bool FMultiServer;
    int FCCounter = 0;
    int FCommandsPerRepeat = 2;
    // The data socket of a network line: TCP, or UDP for the UDP kinds; null for serial lines.
    std::unique_ptr<TBlockSocket> FSocket;

private:
    friend struct TComThreadDeleter;

    // The construction steps that call virtual operations, run by Create once the object is whole.
    void Construct();
    void CreateSockets();
    void OpenSerialPort();
    // The end of the object's life: callbacks cleared, worker stopped and waited for.
    void StopWorker();
    bool InLaunch() const noexcept { return FLaunchDepth.load() > 0; }
    // Hands packet and transaction to a launch of operation; they are forgotten afterwards.
    void LaunchWith(TDataPacket* packet, TDataTransaction* transaction, void (TComThread::*operation)());

    // Applies the record under SO; the failure text, empty on success or on a closed port.
    QString ApplyLineSettings();
    void LogLineSettingsFailure(const QString& failure);
    // The connect step of each network kind; false with the reason in errorDesc.
    bool ConnectNetwork(QString& errorDesc);
    bool ConnectUDPClient(const QString& host, const QString& port, QString& errorDesc);
    bool AcceptPendingClient(const QString& host, const QString& port, QString& errorDesc);
    void AdoptSocket(int handle);
    // Logs the datagrams a locked UDP socket dropped as not from its peer: the first of a run
    // with its sender, and at the end of the run how many there were.
    void NoteForeignDatagrams();
    int SerialWrite(const void* Buffer, int Count);
    void DropRTSAfterLastCharacter();
    int CharacterTimeMs() const;
    void LogData(const QByteArray& head, const void* Buffer, int Count, TLogCategory Category);
    template <class TAction>
    void ForEachWorker(TAction action) const;

    const bool FTCP;
    const bool FUDP;
    const bool FTCPServer;
    const bool FTCPSocket;
    const bool FUDPServer;
    const bool FDefered;

    std::unique_ptr<TTransactionList> FRList;
    TSerialPort FComPort;
    int FMaxRetries = 8;
    std::atomic<bool> FEnableLog{false};
    bool FEnableFileLog = false;
    int FLogMemoIndex = 0;
    QString FLogFileName;
    TFlowControl FFlowControl = fcNone;
    std::unique_ptr<TTCPBlockSocket> FServerSocket;
    std::unique_ptr<TWorkersList> FWorkersList;
    DCB FComDCB;
    std::atomic<int> FLineSleep{0};
    int FTCPTimeOut = 1100;
    bool FRTSIsDirection = false;
    TLogCategorySet FLogOptions{lgAll};
    TLogCategorySet FLogToFileOptions{lgAll};
    QStringList FLastErrors;
    bool F_TCPConnectInProggress = false;
    bool FDTR = false;
    // Every connection counts, but only the last hour's are kept (and always the last one): a
    // line that reconnects every few seconds for months must not grow the list without end.
    std::uint64_t FConnections = 0;
    std::deque<TDateTime> FReconnects;
    QString FLastLineSettingsFailure;
    std::uint64_t FForeignSeen = 0;
    std::uint64_t FForeignRun = 0;

    std::atomic<int> FLaunchDepth{0};
    // Set by Terminate: ends the pauses of the transports at once.
    TEvent FTerminateSignal{true, false};
};

template <class T>
TComThreadPtr<T> TComThread::Create(const QString& ADeviceName, bool AMultiServer, const std::function<void(T&)>& beforeStart)
{
    static_assert(std::is_base_of_v<TComThread, T>, "a communication thread derives from TComThread");
    TComThreadPtr<T> thread(new T(ADeviceName, AMultiServer));
    thread->Construct();
    if (beforeStart)
        beforeStart(*thread);
    thread->Start();
    return thread;
}
