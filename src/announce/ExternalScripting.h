#pragma once
#include "platform/Exceptions.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

VOCATOR_DECLARE_EXCEPTION(EScriptingException, Exception)

// Result codes of DoScripting and ExecScript besides 0, "the program was started".
constexpr int errCreateReadPipe = 1;      // the pipe for the program's standard input
constexpr int errCreateDupRead = 2;       // preparing the runner's end of that pipe
constexpr int errCreateWritePipe = 3;     // the pipe for the program's standard output
constexpr int errCreateDupWrite = 4;      // preparing the runner's end of that pipe
constexpr int errCreateProcess = 5;       // the start failed and RaiseExceptions is off
constexpr int errProcessingScripting = 6; // a run is in progress; nothing was done

// Of what a program writes to its standard output only this many bytes are kept; the rest is
// read and dropped, so that a talkative program cannot fill our memory.
constexpr int MaxProductBytes = 1 << 20;

class QTimer;
class TQuitRequestWatch;

// How the last run of a program ended.
struct TRunOutcome {
    enum TKind {
        rkNone,      // no run has ended yet
        rkExited,    // the program ended by itself with exit status Code
        rkSignalled, // the program was killed by signal Code
        rkUnknown,   // the program ended, but its status could not be collected
        rkTimedOut,  // the run lasted longer than the time limit (Code, ms) and was ended
        rkStopped    // the run was ended because the application shuts down
    };
    TKind Kind = rkNone;
    int Code = 0;

    // A run that did not end by itself with status 0; one stopped by the shut-down is not.
    bool Failed() const noexcept { return Kind == rkSignalled || Kind == rkTimedOut || (Kind == rkExited && Code != 0); }
    // "exit status 3", "killed by signal 11 (Segmentation fault)", ...
    QString Text() const;
};

// What a pipe thread shares with its runner. The thread frees itself when it ends, so the runner
// never holds the thread itself: it asks it to stop here and waits until it has ended.
class TPipeThreadLink {
public:
    // False when the system had no descriptor left for the stop signal.
    bool IsValid() const noexcept { return FStop.IsValid(); }
    void RequestStop() noexcept { FStop.Raise(); }
    bool StopRequested() const noexcept { return FStop.Raised(); }
    const TCancelSignal& StopSignal() const noexcept { return FStop; }
    // The thread's last act on the runner's side; after it the thread touches nothing of it.
    void MarkEnded() noexcept;
    bool Ended() const noexcept { return FEnded.load(); }

private:
    TCancelSignal FStop;
    std::atomic<bool> FEnded{false};
};

// Writes a text to a started program's standard input block by block. It starts at once and
// frees itself when it ends, so nobody keeps the object: its link stops it and tells its end.
class TWritePipeThread final : public TThread {
public:
    TWritePipeThread(std::shared_ptr<TPipeThreadLink> Link, int WriteHandle, const QString& Data,
                     std::function<void()> CallBack, int BlockSize, bool CloseHandle);

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    bool StopRequested() const { return Terminated() || FLink->StopRequested(); }
    void WriteAll(const QByteArray& bytes);

    std::shared_ptr<TPipeThreadLink> FLink;
    int WH;
    QString IData;
    int BS;
    bool CH;
    std::function<void()> CallB;
};

// Collects what a started program writes to its standard output (the first MaxProductBytes of
// it) until the output ends, then waits for the program's end when it is given one, so that its
// hand-over comes with the exit status known. It starts at once, frees itself when it ends and
// closes its handle then.
class TReadPipeThread final : public TThread {
public:
    TReadPipeThread(std::shared_ptr<TPipeThreadLink> Link, int ReadHandle,
                    std::function<void(const QString& Data)> CallBack, int BlockSize,
                    std::shared_ptr<TProcessExit> ProcessExit = nullptr);

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    bool StopRequested() const { return Terminated() || FLink->StopRequested(); }
    void ReadAll();

    std::shared_ptr<TPipeThreadLink> FLink;
    TFileHandle RH;
    QString IData;
    int BS;
    std::function<void(const QString& Data)> CallB;
    std::shared_ptr<TProcessExit> FProcessExit;
};

// A component that runs a script: a text goes in, the lines it produced come out.
class TCustomScripting : public QObject {
    Q_OBJECT
public:
    // Parameters starts as the environment of our own process.
    explicit TCustomScripting(QObject* owner = nullptr);
    ~TCustomScripting() override;

    QStringList Source() const { return FSource; }
    void SetSource(const QStringList& value) { FSource = value; }
    QStringList Product() const { return FProduct; }
    // The script's complete environment, one "name=value" entry per line.
    QStringList Parameters() const { return FParameters; }
    void SetParameters(const QStringList& value) { FParameters = value; }

    virtual int DoScripting() = 0;
    virtual void CancelScripting() = 0;
    virtual qint64 GetScriptingTime() = 0;

protected:
    QStringList FSource;
    QStringList FProduct;
    QStringList FParameters;
};

// Runs an external program with Source on its standard input and collects its standard output
// into Product; the run ends when the program has closed its output and has ended, and
// LastOutcome tells how. The program leads a process group of its own: a run past TimeLimit, and
// a waiting run when the application shuts down, ends the whole group (SIGTERM, then SIGKILL).
// Events are raised on the main thread with the runner as sender.
class TCustomExternalScripting : public TCustomScripting {
    Q_OBJECT
public:
    explicit TCustomExternalScripting(QObject* owner = nullptr);
    ~TCustomExternalScripting() override;

    QString ExternalScriptor() const { return FExternalScriptor; }
    // Ignored while a run is in progress, as are the other settings of the run below.
    void SetExternalScriptor(const QString& value);
    int BlockSize() const { return FBlockSize; }
    void SetBlockSize(int value);
    bool ProcessingScripting() const { return FProcessingScripting; }
    bool WaitForCompleteRead() const { return FWaitForCompleteRead; }
    void SetWaitForCompleteRead(bool value);
    bool RaiseExceptions() const { return FRaiseExceptions; }
    void SetRaiseExceptions(bool value) { FRaiseExceptions = value; }
    // "argv0 argv1": the text before the first blank is the program's argv[0], the rest argv[1].
    QString CommandLine() const { return FCommandLine; }
    void SetCommandLine(const QString& value) { FCommandLine = value; }
    // Milliseconds: since the start while a run is in progress, else the last run's duration.
    qint64 ScriptingTime() { return GetScriptingTime(); }
    // Milliseconds a run may last before its process group is ended; 0: no limit.
    int TimeLimit() const { return FTimeLimit; }
    void SetTimeLimit(int value);
    const TRunOutcome& LastOutcome() const { return FLastOutcome; }
    // Milliseconds between SIGTERM and SIGKILL when a run is ended.
    static constexpr int KillGraceMs = 2000;

    int DoScripting() override;
    void CancelScripting() override;
    qint64 GetScriptingTime() override;

    virtual void ReadThreadEnded(const QString& Data);
    virtual void WriteThreadEnded();

    std::function<void(QObject* Sender)> OnComplete;
    std::function<void(QObject* Sender)> OnCompleteWrite;
    std::function<void(QObject* Sender)> OnThreadsCreated;

protected:
    QString FExternalScriptor;
    int FBlockSize = 1024;
    bool FProcessingScripting = false;
    bool FWaitForCompleteRead = false;
    std::shared_ptr<TPipeThreadLink> TW;
    std::shared_ptr<TPipeThreadLink> TR;
    // While a run is in progress its start on a monotonic clock, afterwards its duration.
    qint64 STime = 0;
    bool FRaiseExceptions = true;
    QString FCommandLine;

private:
    TRunOutcome OutcomeOfEndedProgram() const;
    // The run's process group gets SIGTERM now and SIGKILL after the grace.
    void BeginEnding();
    // SIGKILL for the group, and the run ends without waiting for its output any longer.
    void ForceEnd();
    void FinishRun(const TRunOutcome& outcome);
    void StopRunTimers();

    int StartFailed(int error) const;
    TProcessStartInfo BuildStartInfo();
    QList<QByteArray> EnvironmentBlock();
    void StartPipeThreads(TFileHandle input, TFileHandle output, std::shared_ptr<TPipeThreadLink> writer,
                          std::shared_ptr<TPipeThreadLink> reader);
    std::function<void()> WriterCallBack(std::shared_ptr<TPipeThreadLink> link);
    std::function<void(const QString&)> ReaderCallBack(std::shared_ptr<TPipeThreadLink> link);
    void WaitForRunEnd();

    int FTimeLimit = 0;
    TRunOutcome FLastOutcome;
    pid_t FPid = 0;
    std::shared_ptr<TProcessExit> FProcessExit;
    bool FTimedOut = false;
    bool FStopping = false;
    QTimer* FTimeLimitTimer;
    QTimer* FKillTimer;
    TQuitRequestWatch* FQuitWatch;
};

class TExternalScripting : public TCustomExternalScripting {
    Q_OBJECT
public:
    explicit TExternalScripting(QObject* owner = nullptr);

    int ExecScript() { return DoScripting(); }
    void CancelScripting() override;
};
