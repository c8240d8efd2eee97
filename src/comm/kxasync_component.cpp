#include "comm/kxasync_component.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include <utility>

namespace {

TDiagnosticFormFactory& DiagnosticFormFactory()
{
    static TDiagnosticFormFactory factory;
    return factory;
}

} // namespace

void SetDiagnosticFormFactory(TDiagnosticFormFactory factory) { DiagnosticFormFactory() = std::move(factory); }

TComComponent::TComComponent(QObject* owner) : TExComponent(owner) {}

TComComponent::~TComComponent() { CloseForDestruction(); }

void TComComponent::CloseForDestruction()
{
    if (FDestroying)
        return;
    FDestroying = true;
    // No disconnect handler runs during shut-down.
    OnDisconnect = nullptr;
    OnDisconnectTransaction = nullptr;
    FLoading = false;
    SetEnabled(false);
    FDiagnosticForm.reset();
}

// ---- Opening and closing ----

void TComComponent::SetEnabled(bool Value)
{
    if (FLoading) {
        FLEnabled = Value;
        return;
    }
    if (Value == Enabled())
        return;
    if (Value)
        OpenLine();
    else
        CloseLine();
}

void TComComponent::OpenLine()
{
    if (const auto handler = OnBeforeOpen)
        handler(this);
    if (FDeviceName.isEmpty())
        return;
    FComThread = CreateComThread();
    TComThread* thread = GetComThread();
    if (!thread)
        return;
    UpdateDCB();
    thread->DoLog(QStringLiteral("Communication opened with ") + FDeviceName, lgConnect);
    if (const auto handler = OnAfterOpen)
        handler(this);
    // The worker may have started before its callbacks were bound; now it may go.
    if (TComThread* running = GetComThread())
        running->Event().SetEvent();
}

void TComComponent::CloseLine()
{
    if (TComThread* thread = GetComThread())
        thread->OnDisconnect = nullptr;
    DestroyComThread();
}

void TComComponent::DestroyComThread()
{
    // Forgotten first: the launches served while the worker is waited for see a closed line.
    TComThreadPtr<TComThread> thread = std::move(FComThread);
    thread.reset();
}

void TComComponent::Loaded()
{
    TExComponent::Loaded();
    if (std::exchange(FLoading, false))
        SetEnabled(FLEnabled);
}

void TComComponent::ReadFromIni(TIniFile& ini) { ReadComSettingsFromIni(ini, IniFileSection(), *this); }

void TComComponent::TerminateThread()
{
    if (TComThread* thread = GetComThread())
        thread->Terminate();
}

void TComComponent::CreateDiagnosticForm()
{
    if (!FDiagnosticForm && DiagnosticFormFactory())
        FDiagnosticForm = DiagnosticFormFactory()(*this);
}

void TComComponent::ShowDiagnosticForm()
{
    CreateDiagnosticForm();
    if (FDiagnosticForm)
        FDiagnosticForm->ShowNonModal();
}

// ---- The line ----

bool TComComponent::GetConnected() const
{
    const TComThread* thread = GetComThread();
    return thread && thread->Connected();
}

int TComComponent::ComHandle() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->GetComHandle() : INVALID_HANDLE_VALUE;
}

int TComComponent::CRCFails() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->CRCFails() : 0;
}

int TComComponent::ExchangeTime() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->ExchangeTime() : 0;
}

int TComComponent::SyncTime() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->SyncTime() : 0;
}

int TComComponent::MaxSyncTime() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->MaxSyncTime() : 0;
}

int TComComponent::TransactionCount() const
{
    const TComThread* thread = GetComThread();
    return thread ? thread->GetTransactionCount() : 0;
}

// ---- Pushing the settings ----

void TComComponent::UpdateDCB()
{
    TComThread* thread = GetComThread();
    if (!thread)
        return;
    thread->SetDTR(FDTR);
    // Each line setting re-applies the record to a serial port.
    thread->SetBaudRate(FBaudRate);
    thread->SetDataBits(FDataBits);
    thread->SetLineSleep(FLineSleep);
    thread->SetMaxRetries(FMaxRetries);
    thread->SetParity(FParity);
    thread->SetStopbits(FStopbits);
    thread->SetTCPTimeOut(FTCPTimeOut);
    thread->SetRTSIsDirection(FRTSIsDirection);
    BindCallbacks(*thread);
    thread->SetEnableLog(FEnableLogging);
    thread->SetLogMemoIndex(FLogMemoIndex);
    thread->SetLogOptions(FLogOptions);
    thread->SetEnableFileLog(FEnableFileLogging);
    thread->SetLogFileName(FLogFileName);
    thread->SetLogToFileOptions(FLogToFileOptions);
}

void TComComponent::BindCallbacks(TComThread& thread)
{
    thread.OnBeforeSend = [this](IComEventSender* sender, TDataPacket* packet) { DoBeforeSend(sender, packet); };
    thread.OnReceive = [this](IComEventSender* sender, TDataPacket* packet) { DoReceive(sender, packet); };
    thread.OnReceiveTransaction = [this](IComEventSender* sender, TDataTransaction* transaction) {
        DoReceiveTransaction(sender, transaction);
    };
    thread.OnDisconnect = [this](IComEventSender* sender, TDataPacket* packet, bool& cancel) {
        DoDisconnect(sender, packet, cancel);
    };
    thread.OnDisconnectTransaction = [this](IComEventSender* sender, TDataTransaction* transaction, bool& cancel) {
        DoDisconnectTransaction(sender, transaction, cancel);
    };
    thread.OnServe = [this](IComEventSender* sender, TDataTransaction* transaction, bool& cancel) {
        DoServe(sender, transaction, cancel);
    };
    thread.OnServePacket = [this](IComEventSender* sender, TDataPacket* packet, bool& cancel) {
        DoServePacket(sender, packet, cancel);
    };
}

void TComComponent::SetDeviceName(const QString& value) { FDeviceName = CheckComName(value); }

void TComComponent::SetBaudRate(TcmBaudrate value)
{
    FBaudRate = value;
    UpdateDCB();
}

void TComComponent::SetDataBits(TDatabits value)
{
    if (value == FDataBits)
        return;
    FDataBits = value;
    UpdateDCB();
}

void TComComponent::SetParity(TcmParity value)
{
    FParity = value;
    UpdateDCB();
}

void TComComponent::SetStopbits(TStopbits value)
{
    FStopbits = value;
    UpdateDCB();
}

void TComComponent::SetDTR(bool value)
{
    FDTR = value;
    UpdateDCB();
}

void TComComponent::SetTCPTimeOut(int value)
{
    FTCPTimeOut = value;
    UpdateDCB();
}

void TComComponent::SetLineSleep(int value)
{
    FLineSleep = value;
    if (TComThread* thread = GetComThread())
        thread->SetLineSleep(value);
}

void TComComponent::SetEnableLogging(bool value)
{
    FEnableLogging = value;
    if (TComThread* thread = GetComThread())
        thread->SetEnableLog(value);
}

void TComComponent::SetLogMemoIndex(int value)
{
    FLogMemoIndex = value;
    if (TComThread* thread = GetComThread())
        thread->SetLogMemoIndex(value);
}

void TComComponent::SetEnableLoggingToFile(bool value)
{
    FEnableFileLogging = value;
    UpdateDCB();
}

void TComComponent::SetLogFileName(const QString& value)
{
    FLogFileName = value;
    UpdateDCB();
}

void TComComponent::SetLogOptions(TLogCategorySet value)
{
    FLogOptions = value;
    UpdateDCB();
}

void TComComponent::SetLogToFileOptions(TLogCategorySet value)
{
    FLogToFileOptions = value;
    UpdateDCB();
}

// ---- Errors ----

TErrorTerminal* TComComponent::ErrorTerminal() const { return FErrorTerminal.data(); }

void TComComponent::SetErrorTerminal(TErrorTerminal* value) { FErrorTerminal = value; }

void TComComponent::SetError(bool Active)
{
    const TComThread* thread = GetComThread();
    if (!FErrorTerminal || !thread || thread->Terminated())
        return;
    FErrorTerminal->SetActiveByLCode(Active, FErrorLocalCode, objectName() + QStringLiteral("(") + FDeviceName + QStringLiteral(")"), 0,
                                     QString());
}

// ---- Bridges ----
// Each handler runs from a copy: it may replace or clear the event that holds it.

void TComComponent::DoBeforeSend(IComEventSender* /*Sender*/, TDataPacket* Packet)
{
    if (FDestroying)
        return;
    if (const TPacketEvent handler = OnBeforeSend)
        handler(this, Packet);
}

void TComComponent::DoReceive(IComEventSender* /*Sender*/, TDataPacket* Packet)
{
    if (FDestroying)
        return;
    SetError(false);
    if (const TPacketEvent handler = OnReceivePacket)
        handler(this, Packet);
}

void TComComponent::DoReceiveTransaction(IComEventSender* /*Sender*/, TDataTransaction* Transaction)
{
    if (FDestroying)
        return;
    SetError(false);
    if (const TTRansactionEvent handler = OnReceiveTransaction)
        handler(this, Transaction);
}

void TComComponent::DoDisconnect(IComEventSender* /*Sender*/, TDataPacket* Packet, bool& CancelRequest)
{
    if (FDestroying)
        return;
    SetError(true);
    if (const TComCancelEvent handler = OnDisconnect)
        handler(this, Packet, CancelRequest);
}

void TComComponent::DoDisconnectTransaction(IComEventSender* /*Sender*/, TDataTransaction* Transaction, bool& CancelRequest)
{
    if (FDestroying)
        return;
    SetError(true);
    if (const TTransactionCancelEvent handler = OnDisconnectTransaction)
        handler(this, Transaction, CancelRequest);
}

void TComComponent::DoServe(IComEventSender* /*Sender*/, TDataTransaction* Transaction, bool& CancelRequest)
{
    if (FDestroying)
        return;
    if (const TTransactionCancelEvent handler = OnServe)
        handler(this, Transaction, CancelRequest);
}

void TComComponent::DoServePacket(IComEventSender* /*Sender*/, TDataPacket* Packet, bool& CancelRequest)
{
    if (FDestroying)
        return;
    if (const TComCancelEvent handler = OnServePacket)
        handler(this, Packet, CancelRequest);
}
