#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <cstddef>
#include <memory>
#include <sys/types.h>

// A file descriptor that closes itself.
class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(int fd) noexcept : FFd(fd) {}
    ~TFileHandle() { Close(); }
    TFileHandle(TFileHandle&& other) noexcept : FFd(other.Release()) {}
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    int Get() const noexcept { return FFd; }
    bool IsValid() const noexcept { return FFd >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    int Release() noexcept;
    void Close() noexcept;

private:
    int FFd = -1;
};

// An anonymous pipe. Both ends are closed on exec, so a started program inherits only what its
// start gives it, and both lie above the standard descriptors even when the process runs with
// those closed (a pipe end at 0 or 1 would be overwritten while the child's are set up).
struct TPipe {
    TFileHandle ReadEnd;
    TFileHandle WriteEnd;
};
// 0 or the errno of the failure.
int CreatePipe(TPipe& pipe);
// Only one end of a pipe changes: the other end's reads or writes stay blocking. 0 or errno.
int SetNonBlocking(int fd);

// A flag that other threads wait on together with a pipe: once raised, every wait returns.
class TCancelSignal {
public:
    TCancelSignal();
    // False when the system had no descriptor left for it.
    bool IsValid() const noexcept { return FHandle.IsValid(); }
    void Raise() noexcept;
    bool Raised() const noexcept { return FRaised.load(); }
    int Handle() const noexcept { return FHandle.Get(); }

private:
    // The descriptor wakes waits in poll(); the flag answers Raised without a system call.
    TFileHandle FHandle;
    std::atomic<bool> FRaised{false};
};

// The end of a started child as the platform collects it, for threads that wait for it.
class TProcessExit {
public:
    // False when the system had no descriptor left for the signal.
    bool IsValid() const noexcept { return FEnded.IsValid(); }
    bool Ended() const noexcept { return FEnded.Raised(); }
    // Raised once the child has ended and its status is stored.
    const TCancelSignal& EndedSignal() const noexcept { return FEnded; }
    // The status as waitpid gives it; meaningful once Ended and Known.
    int WaitStatus() const noexcept { return FWaitStatus.load(); }
    // False when the platform could not watch the child, so that its status stays unknown.
    bool Known() const noexcept { return FKnown.load(); }
    void Store(int waitStatus, bool known) noexcept;

private:
    TCancelSignal FEnded;
    std::atomic<int> FWaitStatus{0};
    std::atomic<bool> FKnown{false};
};

// Bytes transferred, or the errno of the failure; ECANCELED when the cancel signal was raised.
struct TIoResult {
    std::size_t Bytes = 0;
    int Error = 0;
};
// Waits until the pipe has data, has ended or the signal is raised, then reads up to size bytes.
// Bytes 0 without an error means the end: every writer has closed the pipe. For a non-blocking
// descriptor; cancel may be null.
TIoResult ReadPipe(int fd, char* buffer, std::size_t size, const TCancelSignal* cancel);
// Waits until the awaited signal or the cancel signal is raised: 0, or ECANCELED when the cancel
// signal came first. cancel may be null.
int WaitForSignal(const TCancelSignal& awaited, const TCancelSignal* cancel);
// Waits until the pipe takes data or the signal is raised, then writes what fits of size bytes.
// A pipe whose reader has gone gives EPIPE and never raises SIGPIPE. For a non-blocking
// descriptor; cancel may be null.
TIoResult WritePipe(int fd, const char* data, std::size_t size, const TCancelSignal* cancel);

// The argument vector of a Windows command line: the text before the first blank is argv[0],
// everything after that blank (when there is one) is argv[1], unchanged, even when it is empty.
QList<QByteArray> SplitCommandLine(const QByteArray& commandLine);

struct TProcessStartInfo {
    // Not looked up in PATH; a relative path means the current directory, not WorkingDirectory.
    QByteArray Program;
    QByteArray CommandLine;
    // Empty: the current directory.
    QByteArray WorkingDirectory;
    // The child's environment, exactly these entries; an empty list gives an empty environment.
    QList<QByteArray> Environment;
    // The child's standard input and output, descriptors above the standard ones as CreatePipe
    // gives them; -1 inherits ours. Standard error is always ours.
    int StdInput = -1;
    int StdOutput = -1;
    // The child leads a process group of its own, so that it and everything it starts can be
    // ended together (SignalProcessGroup) and a terminal's interrupt meant for us passes it by.
    bool OwnProcessGroup = false;
    // Where the child's end is reported; may be null.
    std::shared_ptr<TProcessExit> Exit;
};
// Starts the program directly, never through a shell, with no other descriptor of ours. The
// platform collects its exit status when it ends, so no zombie stays; the caller need not wait.
// 0 and the process id, or the errno of the failure.
int StartProcess(const TProcessStartInfo& info, pid_t* pid = nullptr);
// Sends the signal to every process of the group that the child of that id leads. 0 or errno
// (ESRCH once none of them is left).
int SignalProcessGroup(pid_t leader, int signal);

// The system's message text for an errno value.
QString SystemErrorMessage(int error);
