#include "announce/ExternalScripting.h"
#include "platform/ApplicationEvents.h"
#include "platform/CodePage.h"
#include "platform/Paths.h"
#include "platform/QuitRequest.h"
#include <QFileInfo>
#include <QPointer>
#include <QProcessEnvironment>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <new>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace {

// A pipe never hands over more than it holds, so a larger block size needs no larger buffer.
constexpr int MaxReadBlock = 1 << 20;

// Durations come from a monotonic clock: setting the clock or a change of daylight saving time
// during a run cannot distort them.
qint64 MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The number of bytes at the end that begin a UTF-8 sequence whose last byte has not come yet.
qsizetype IncompleteUtf8Tail(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= std::min<qsizetype>(size, 4); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue;
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// Converts output block by block as it arrives. With a UTF-8 code page a character whose bytes
// straddle two blocks is held back until its last byte has come, so no block boundary breaks it.
class TBlockDecoder {
public:
    QString Decode(QByteArrayView block)
    {
        FPending.append(block);
        const qsizetype complete = AnsiCodePage().IsUtf8() ? FPending.size() - IncompleteUtf8Tail(FPending) : FPending.size();
        const QString text = FromAnsi(QByteArrayView(FPending).first(complete));
        FPending.remove(0, complete);
        return text;
    }

    QString Finish()
    {
        const QString text = FromAnsi(FPending);
        FPending.clear();
        return text;
    }

private:
    QByteArray FPending;
};

// Lines the way a string list takes a text: CR, LF and CR LF end a line, and a break at the very
// end opens no further line.
QStringList SplitLines(const QString& text)
{
    QStringList lines;
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        lines.append(text.mid(start, end - start));
        if (end + 1 < size && text[end] == u'\r' && text[end + 1] == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

QString JoinLines(const QStringList& lines)
{
    QString text;
    for (const QString& line : lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

QByteArray TrimmedOfControlBytes(const QByteArray& bytes)
{
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isControl(bytes[begin]))
        ++begin;
    while (end > begin && isControl(bytes[end - 1]))
        --end;
    return bytes.mid(begin, end - begin);
}

// An exception that escapes an event handler goes to the application's exception handling, as
// for every main-thread handler, instead of back into the pipe thread that handed over, where
// nobody would see it.
void RunHandler(const QPointer<TCustomExternalScripting>& runner, const std::function<void()>& handler)
{
    try {
        handler();
    } catch (...) {
        ApplicationEvents::NotifyException(runner.data(), std::current_exception());
    }
}

// The handler runs from a copy: it may replace the event or destroy the runner that holds it.
void RaiseEvent(const std::function<void(QObject*)>& event, QObject* sender)
{
    if (const auto handler = event)
        handler(sender);
}

void StopPipeThreads(std::initializer_list<std::shared_ptr<TPipeThreadLink>> links)
{
    for (const auto& link : links)
        if (link)
            link->RequestStop();
    // The threads' hand-overs are served meanwhile; the callbacks see the stop and do nothing.
    for (const auto& link : links)
        if (link)
            ProcessEventsUntil([&link] { return link->Ended(); });
}

} // namespace

QString TRunOutcome::Text() const
{
    switch (Kind) {
    case rkNone:
        return QStringLiteral("not run");
    case rkExited:
        return QStringLiteral("exit status %1").arg(Code);
    case rkSignalled:
        return QStringLiteral("killed by signal %1 (%2)").arg(Code).arg(QString::fromLocal8Bit(::strsignal(Code)));
    case rkUnknown:
        return QStringLiteral("ended, status unknown");
    case rkTimedOut:
        return QStringLiteral("no end within %1 s, stopped").arg(Code / 1000.0, 0, 'g', 6);
    case rkStopped:
        return QStringLiteral("stopped by the shut-down");
    }
    return {};
}

void TPipeThreadLink::MarkEnded() noexcept
{
    FEnded = true;
    WakeMainThread();
}

TWritePipeThread::TWritePipeThread(std::shared_ptr<TPipeThreadLink> Link, int WriteHandle, const QString& Data,
                                   std::function<void()> CallBack, int BlockSize, bool CloseHandle)
    // A block of no bytes would never get anywhere, so the smallest block is one byte.
    : FLink(std::move(Link)), WH(WriteHandle), IData(Data), BS(std::max(BlockSize, 1)), CH(CloseHandle),
      CallB(std::move(CallBack))
{
    SetFreeOnTerminate(true);
    Start();
}

void TWritePipeThread::Execute()
{
    SetCurrentThreadName(QStringLiteral("PipeWriter"));
    SetReturnValue(0);
    WriteAll(ToAnsi(IData));
    if (CH)
        TFileHandle(std::exchange(WH, -1)).Close();
    if (!StopRequested())
        Synchronize(CallB);
}

void TWritePipeThread::WriteAll(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (!StopRequested() && done < bytes.size()) {
        const qsizetype block = std::min<qsizetype>(BS, bytes.size() - done);
        const TIoResult result = WritePipe(WH, bytes.constData() + done, static_cast<std::size_t>(block), &FLink->StopSignal());
        if (result.Error != 0) {
            if (result.Error != ECANCELED)
                SetReturnValue(result.Error);
            Terminate();
        }
        done += static_cast<qsizetype>(result.Bytes);
    }
}

void TWritePipeThread::DoTerminate() { FLink->MarkEnded(); }

TReadPipeThread::TReadPipeThread(std::shared_ptr<TPipeThreadLink> Link, int ReadHandle,
                                 std::function<void(const QString& Data)> CallBack, int BlockSize,
                                 std::shared_ptr<TProcessExit> ProcessExit)
    : FLink(std::move(Link)), RH(ReadHandle), BS(std::clamp(BlockSize, 1, MaxReadBlock)), CallB(std::move(CallBack)),
      FProcessExit(std::move(ProcessExit))
{
    SetFreeOnTerminate(true);
    Start();
}

void TReadPipeThread::Execute()
{
    SetCurrentThreadName(QStringLiteral("PipeReader"));
    IData.clear();
    try {
        ReadAll();
    } catch (const std::bad_alloc&) {
        // Output beyond what memory holds is dropped; the run still ends, so the runner does not
        // wait for ever and goes back to idle with what was collected.
    }
    // The program's later writes then fail instead of blocking it on a pipe nobody reads.
    RH.Close();
    if (FProcessExit)
        WaitForSignal(FProcessExit->EndedSignal(), &FLink->StopSignal());
    if (!StopRequested())
        Synchronize([this] { CallB(IData); });
}

void TReadPipeThread::ReadAll()
{
    std::vector<char> buffer(static_cast<std::size_t>(BS));
    TBlockDecoder decoder;
    qsizetype kept = 0;
    while (!StopRequested()) {
        const TIoResult result = ReadPipe(RH.Get(), buffer.data(), buffer.size(), &FLink->StopSignal());
        if (result.Error != 0 || result.Bytes == 0)
            break;
        // Beyond the bound the output is still read, so that the program is not blocked, and dropped.
        const qsizetype keep = std::min<qsizetype>(static_cast<qsizetype>(result.Bytes), MaxProductBytes - kept);
        if (keep > 0) {
            IData += decoder.Decode(QByteArrayView(buffer.data(), keep));
            kept += keep;
        }
    }
    IData += decoder.Finish();
}

void TReadPipeThread::DoTerminate() { FLink->MarkEnded(); }

TCustomScripting::TCustomScripting(QObject* owner)
    : QObject(owner), FParameters(QProcessEnvironment::systemEnvironment().toStringList())
{
}

TCustomScripting::~TCustomScripting() = default;

TCustomExternalScripting::TCustomExternalScripting(QObject* owner)
    : TCustomScripting(owner), FTimeLimitTimer(new QTimer(this)), FKillTimer(new QTimer(this)), FQuitWatch(new TQuitRequestWatch(this))
{
    FTimeLimitTimer->setSingleShot(true);
    FKillTimer->setSingleShot(true);
    FKillTimer->setInterval(KillGraceMs);
    connect(FTimeLimitTimer, &QTimer::timeout, this, [this] {
        FTimedOut = true;
        BeginEnding();
    });
    connect(FKillTimer, &QTimer::timeout, this, [this] { ForceEnd(); });
}

TCustomExternalScripting::~TCustomExternalScripting()
{
    // A base destructor no longer reaches this override, so the run is cancelled here: no pipe
    // thread of it is left afterwards that could call back.
    TCustomExternalScripting::CancelScripting();
}

void TCustomExternalScripting::SetExternalScriptor(const QString& value)
{
    if (!FProcessingScripting)
        FExternalScriptor = value;
}

void TCustomExternalScripting::SetBlockSize(int value)
{
    if (!FProcessingScripting)
        FBlockSize = value;
}

void TCustomExternalScripting::SetWaitForCompleteRead(bool value)
{
    if (!FProcessingScripting)
        FWaitForCompleteRead = value;
}

void TCustomExternalScripting::SetTimeLimit(int value)
{
    if (!FProcessingScripting)
        FTimeLimit = std::max(value, 0);
}

int TCustomExternalScripting::DoScripting()
{
    if (FProcessingScripting)
        return errProcessingScripting;
    auto writer = std::make_shared<TPipeThreadLink>();
    auto reader = std::make_shared<TPipeThreadLink>();
    auto exit = std::make_shared<TProcessExit>();
    // The signals need descriptors like the pipes; running out of them fails the same way.
    if (!writer->IsValid() || !reader->IsValid() || !exit->IsValid())
        return errCreateReadPipe;

    TPipe input, output;
    if (CreatePipe(input) != 0)
        return errCreateReadPipe;
    if (SetNonBlocking(input.WriteEnd.Get()) != 0)
        return errCreateDupRead;
    if (CreatePipe(output) != 0)
        return errCreateWritePipe;
    if (SetNonBlocking(output.ReadEnd.Get()) != 0)
        return errCreateDupWrite;

    TProcessStartInfo start = BuildStartInfo();
    start.StdInput = input.ReadEnd.Get();
    start.StdOutput = output.WriteEnd.Get();
    start.OwnProcessGroup = true;
    start.Exit = exit;
    pid_t pid = 0;
    if (const int error = StartProcess(start, &pid))
        return StartFailed(error);
    // Only the program may hold these ends, or its output would never be seen to end.
    input.ReadEnd.Close();
    output.WriteEnd.Close();
    FProcessingScripting = true;
    STime = MonotonicMs();
    FPid = pid;
    FProcessExit = exit;
    FTimedOut = false;
    FStopping = false;
    if (FTimeLimit > 0)
        FTimeLimitTimer->start(FTimeLimit);

    const bool waitForRunEnd = FWaitForCompleteRead;
    const QPointer<TCustomExternalScripting> self(this);
    StartPipeThreads(std::move(input.WriteEnd), std::move(output.ReadEnd), writer, reader);
    RaiseEvent(OnThreadsCreated, this);
    if (waitForRunEnd && self)
        WaitForRunEnd();
    return 0;
}

int TCustomExternalScripting::StartFailed(int error) const
{
    if (FRaiseExceptions)
        throw EScriptingException(QStringLiteral("Create process %1 failed:%2").arg(FExternalScriptor, SystemErrorMessage(error)));
    return errCreateProcess;
}

TProcessStartInfo TCustomExternalScripting::BuildStartInfo()
{
    const QString program = QFileInfo(FExternalScriptor).absoluteFilePath();
    TProcessStartInfo start;
    start.Program = ToAnsi(program);
    start.CommandLine = ToAnsi(FCommandLine);
    start.WorkingDirectory = ToAnsi(ExtractFilePath(program));
    start.Environment = EnvironmentBlock();
    return start;
}

QList<QByteArray> TCustomExternalScripting::EnvironmentBlock()
{
    FParameters.sort(Qt::CaseInsensitive);
    QList<QByteArray> environment;
    environment.reserve(FParameters.size());
    for (const QString& entry : FParameters) {
        // An empty entry carries nothing; the entries after it still belong to the environment.
        QByteArray bytes = TrimmedOfControlBytes(ToAnsi(entry));
        if (!bytes.isEmpty())
            environment.append(std::move(bytes));
    }
    return environment;
}

void TCustomExternalScripting::StartPipeThreads(TFileHandle input, TFileHandle output, std::shared_ptr<TPipeThreadLink> writer,
                                                std::shared_ptr<TPipeThreadLink> reader)
{
    TW = writer;
    TR = reader;
    // The threads free themselves; the runner keeps only their links.
    new TWritePipeThread(writer, input.Release(), JoinLines(FSource), WriterCallBack(writer), FBlockSize, true);
    new TReadPipeThread(reader, output.Release(), ReaderCallBack(reader), FBlockSize, FProcessExit);
}

// The callbacks run on the main thread. A cancelled run, a thread of an earlier run and a runner
// that is gone are all left alone.
std::function<void()> TCustomExternalScripting::WriterCallBack(std::shared_ptr<TPipeThreadLink> link)
{
    return [self = QPointer<TCustomExternalScripting>(this), link] {
        if (self && !link->StopRequested() && self->TW == link)
            RunHandler(self, [&self] { self->WriteThreadEnded(); });
    };
}

std::function<void(const QString&)> TCustomExternalScripting::ReaderCallBack(std::shared_ptr<TPipeThreadLink> link)
{
    return [self = QPointer<TCustomExternalScripting>(this), link](const QString& data) {
        if (self && !link->StopRequested() && self->TR == link)
            RunHandler(self, [&self, &data] { self->ReadThreadEnded(data); });
    };
}

void TCustomExternalScripting::WaitForRunEnd()
{
    // The wait blocks in the event loop instead of spinning: timers and hand-overs from other
    // threads are served meanwhile, and the reader's hand-over that ends the run wakes it. A
    // handler served here may even destroy the runner, so the wait watches it through a guard.
    const QPointer<TCustomExternalScripting> self(this);
    ProcessEventsUntil([&self] { return !self || !self->FProcessingScripting || self->FQuitWatch->Requested(); });
    if (!self || !self->FProcessingScripting)
        return;
    // The application shuts down: the main loop ends only once this wait has returned, so the
    // run is ended within the grace instead of holding the shut-down back.
    FStopping = true;
    BeginEnding();
    ProcessEventsUntil([&self] { return !self || !self->FProcessingScripting; });
}

void TCustomExternalScripting::BeginEnding()
{
    SignalProcessGroup(FPid, SIGTERM);
    if (!FKillTimer->isActive())
        FKillTimer->start();
}

void TCustomExternalScripting::ForceEnd()
{
    SignalProcessGroup(FPid, SIGKILL);
    // A process outside the group may still hold the output: the run does not wait for it.
    StopPipeThreads({std::exchange(TW, nullptr), std::exchange(TR, nullptr)});
    FProduct.clear();
    FinishRun(FStopping ? TRunOutcome{TRunOutcome::rkStopped, 0} : TRunOutcome{TRunOutcome::rkTimedOut, FTimeLimit});
}

TRunOutcome TCustomExternalScripting::OutcomeOfEndedProgram() const
{
    if (FStopping)
        return {TRunOutcome::rkStopped, 0};
    if (FTimedOut)
        return {TRunOutcome::rkTimedOut, FTimeLimit};
    if (!FProcessExit || !FProcessExit->Ended() || !FProcessExit->Known())
        return {TRunOutcome::rkUnknown, 0};
    const int status = FProcessExit->WaitStatus();
    if (WIFSIGNALED(status))
        return {TRunOutcome::rkSignalled, WTERMSIG(status)};
    return {TRunOutcome::rkExited, WEXITSTATUS(status)};
}

void TCustomExternalScripting::StopRunTimers()
{
    FTimeLimitTimer->stop();
    FKillTimer->stop();
    // The group is never signalled after its run: its id may belong to someone else by then.
    FPid = 0;
}

void TCustomExternalScripting::FinishRun(const TRunOutcome& outcome)
{
    StopRunTimers();
    FLastOutcome = outcome;
    FProcessExit.reset();
    STime = MonotonicMs() - STime;
    FProcessingScripting = false;
    RaiseEvent(OnComplete, this);
}

void TCustomExternalScripting::CancelScripting()
{
    StopPipeThreads({std::exchange(TW, nullptr), std::exchange(TR, nullptr)});
    StopRunTimers();
    FProcessExit.reset();
    if (FProcessingScripting) {
        STime = MonotonicMs() - STime;
        FProcessingScripting = false;
    }
}

qint64 TCustomExternalScripting::GetScriptingTime() { return FProcessingScripting ? MonotonicMs() - STime : STime; }

void TCustomExternalScripting::ReadThreadEnded(const QString& Data)
{
    FProduct = SplitLines(Data);
    TR.reset();
    FinishRun(OutcomeOfEndedProgram());
}

void TCustomExternalScripting::WriteThreadEnded()
{
    TW.reset();
    RaiseEvent(OnCompleteWrite, this);
}

TExternalScripting::TExternalScripting(QObject* owner) : TCustomExternalScripting(owner) {}

void TExternalScripting::CancelScripting() { TCustomExternalScripting::CancelScripting(); }
