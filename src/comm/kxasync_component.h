#pragma once
#include "comm/kxasync_thread.h"
#include "common/kxtools.h"
#include <QPointer>
#include <functional>
#include <memory>

class TComComponent;
class TErrorTerminal;

// The diagnostics window of a component as the engine sees it. The window library implements it
// and installs the factory that builds one for a component; until then components have none.
class IDiagnosticForm {
public:
    virtual ~IDiagnosticForm() = default;
    virtual void ShowNonModal() = 0;
};
using TDiagnosticFormFactory = std::function<std::unique_ptr<IDiagnosticForm>(TComComponent& Subject)>;
void SetDiagnosticFormFactory(TDiagnosticFormFactory factory);

// The component through which the program uses a communication line. It keeps the line and
// logging settings while closed, creates the protocol thread when opened and frees it when
// closed, pushes every setting into a running thread and turns the thread's callbacks into its
// own events, with itself as Sender. Everything here runs on the main thread.
//
// A protocol component derives from it and supplies the thread: CreateComThread builds it with
// TComThread::Create<TTheThread>(DeviceName(), MultiServer()); an override of UpdateDCB calls
// this one first and then pushes its own settings (ComThreadAs<TTheThread>() gives the typed
// thread). A derived component whose thread uses members of the derived part calls
// CloseForDestruction() first in its destructor, so that the thread is gone before they are.
class TComComponent : public TExComponent, public IComIniSettings, public IComEventSender {
    Q_OBJECT

public:
    explicit TComComponent(QObject* owner);
    ~TComComponent() override;

    void Open() { SetEnabled(true); }
    void Close() { SetEnabled(false); }
    // A thread exists.
    bool Enabled() const { return GetComThread() != nullptr; }
    // Opening fires OnBeforeOpen, then, with a device name, creates the thread, pushes the
    // settings, logs "Communication opened with ", fires OnAfterOpen and wakes the thread.
    // Closing frees the thread without a disconnect event. While loading, only the wish is kept.
    void SetEnabled(bool Value);
    // Marks the component as built from its stored design: Enabled is kept until Loaded.
    void BeginLoading() noexcept { FLoading = true; }
    bool Loading() const noexcept { return FLoading; }
    void Loaded() override;
    // The keys of IniFileSection, each through its setter.
    void ReadFromIni(TIniFile& ini) override;
    // Asks the thread to end without freeing it.
    void TerminateThread();

    virtual void CreateDiagnosticForm();
    virtual void ShowDiagnosticForm();
    IDiagnosticForm* DiagnosticForm() const noexcept { return FDiagnosticForm.get(); }

    // ---- The line ----
    virtual TComThread* GetComThread() const { return FComThread.get(); }
    TComThread* ComThread() const { return GetComThread(); }
    template <class T>
    T* ComThreadAs() const { return dynamic_cast<T*>(GetComThread()); }
    // INVALID_HANDLE_VALUE without a thread.
    int ComHandle() const;
    bool Connected() const { return GetConnected(); }
    // 0 without a thread.
    int CRCFails() const;
    int ExchangeTime() const;
    int SyncTime() const;
    int MaxSyncTime() const;
    int TransactionCount() const;

    // ---- Settings; a running thread gets them at once ----
    QString DeviceName() const override { return FDeviceName; }
    // Normalised by CheckComName; a running thread keeps its device until the next open.
    void SetDeviceName(const QString& value) override;
    TcmBaudrate BaudRate() const noexcept { return FBaudRate; }
    void SetBaudRate(TcmBaudrate value) override;
    TDatabits DataBits() const noexcept { return FDataBits; }
    // Only a change reaches the thread.
    void SetDataBits(TDatabits value) override;
    TcmParity Parity() const noexcept { return FParity; }
    void SetParity(TcmParity value);
    TStopbits Stopbits() const noexcept { return FStopbits; }
    void SetStopbits(TStopbits value);
    bool DTR() const override { return FDTR; }
    void SetDTR(bool value) override;
    int TCPTimeOut() const override { return FTCPTimeOut; }
    void SetTCPTimeOut(int value) override;
    int LineSleep() const override { return FLineSleep; }
    void SetLineSleep(int value) override;
    bool EnableLogging() const noexcept { return FEnableLogging; }
    void SetEnableLogging(bool value);
    int LogMemoIndex() const noexcept { return FLogMemoIndex; }
    void SetLogMemoIndex(int value);
    bool EnableLoggingToFile() const override { return FEnableFileLogging; }
    void SetEnableLoggingToFile(bool value) override;
    QString LogFileName() const override { return FLogFileName; }
    void SetLogFileName(const QString& value) override;
    TLogCategorySet LogOptions() const noexcept { return FLogOptions; }
    void SetLogOptions(TLogCategorySet value);
    TLogCategorySet LogToFileOptions() const noexcept { return FLogToFileOptions; }
    void SetLogToFileOptions(TLogCategorySet value) override;
    // Stored only; they reach the thread with the next push or open.
    int MaxRetries() const noexcept { return FMaxRetries; }
    void SetMaxRetries(int value) noexcept { FMaxRetries = value; }
    bool RTSIsDirection() const noexcept { return FRTSIsDirection; }
    void SetRTSIsDirection(bool value) noexcept { FRTSIsDirection = value; }
    bool MultiServer() const noexcept { return FMultiServer; }
    void SetMultiServer(bool value) noexcept { FMultiServer = value; }

    // ---- Error reporting ----
    TErrorTerminal* ErrorTerminal() const;
    // Not owned; a terminal that is destroyed counts as none.
    void SetErrorTerminal(TErrorTerminal* value);
    int ErrorLocalCode() const noexcept { return FErrorLocalCode; }
    void SetErrorLocalCode(int value) noexcept { FErrorLocalCode = value; }
    // Switches the terminal's item of ErrorLocalCode, with the message Name(DeviceName), while
    // a terminal is assigned and a thread runs.
    void SetError(bool Active);

    // ---- Events ----
    std::function<void(QObject* Sender)> OnBeforeOpen;
    std::function<void(QObject* Sender)> OnAfterOpen;
    TPacketEvent OnBeforeSend;
    TPacketEvent OnReceivePacket;
    TTRansactionEvent OnReceiveTransaction;
    TComCancelEvent OnDisconnect;
    TTransactionCancelEvent OnDisconnectTransaction;
    TTransactionCancelEvent OnServe;
    TComCancelEvent OnServePacket;

protected:
    virtual bool GetConnected() const;
    // The protocol thread for DeviceName and MultiServer, running.
    virtual TComThreadPtr<TComThread> CreateComThread() = 0;
    // Forgets the thread, then frees it; freeing waits for the worker and serves its launches.
    virtual void DestroyComThread();
    // Pushes every setting and binds the thread's callbacks to the bridges below.
    virtual void UpdateDCB();

    // The bridges the thread's launches call on the main thread; idle while being destroyed.
    virtual void DoBeforeSend(IComEventSender* Sender, TDataPacket* Packet);
    virtual void DoReceive(IComEventSender* Sender, TDataPacket* Packet);
    virtual void DoReceiveTransaction(IComEventSender* Sender, TDataTransaction* Transaction);
    virtual void DoDisconnect(IComEventSender* Sender, TDataPacket* Packet, bool& CancelRequest);
    virtual void DoDisconnectTransaction(IComEventSender* Sender, TDataTransaction* Transaction, bool& CancelRequest);
    virtual void DoServe(IComEventSender* Sender, TDataTransaction* Transaction, bool& CancelRequest);
    virtual void DoServePacket(IComEventSender* Sender, TDataPacket* Packet, bool& CancelRequest);

    // Closes the line as destruction does: no disconnect event, bridges idle, the thread freed,
    // then the diagnostics window. Only the first call does anything.
    void CloseForDestruction();
    bool Destroying() const noexcept { return FDestroying; }

    std::unique_ptr<IDiagnosticForm> FDiagnosticForm;

private:
    void OpenLine();
    void CloseLine();
    void BindCallbacks(TComThread& thread);

    QString FDeviceName;
    TcmBaudrate FBaudRate = br110;
    TDatabits FDataBits = da8;
    bool FLEnabled = false;
    int FMaxRetries = 8;
    TcmParity FParity = paNone;
    TStopbits FStopbits = sb10;
    bool FEnableLogging = false;
    int FLogMemoIndex = 0;
    bool FEnableFileLogging = false;
    QString FLogFileName;
    int FLineSleep = 0;
    QPointer<TErrorTerminal> FErrorTerminal;
    int FErrorLocalCode = 0;
    int FTCPTimeOut = 2000;
    bool FMultiServer = false;
    bool FRTSIsDirection = false;
    TLogCategorySet FLogOptions{lgAll};
    TLogCategorySet FLogToFileOptions{lgAll};
    bool FDTR = false;

    bool FLoading = false;
    bool FDestroying = false;
    TComThreadPtr<TComThread> FComThread;
};
