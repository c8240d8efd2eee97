#include "platform/Process.h"
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept
{
    if (this != &other) {
        Close();
        FFd = other.Release();
    }
    return *this;
}

int TFileHandle::Release() noexcept
{
    const int fd = FFd;
    FFd = -1;
    return fd;
}

void TFileHandle::Close() noexcept
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

namespace {

constexpr int FirstFreeDescriptor = 3;

int MoveAboveStandardDescriptors(TFileHandle& handle)
{
    if (handle.Get() >= FirstFreeDescriptor)
        return 0;
    const int moved = ::fcntl(handle.Get(), F_DUPFD_CLOEXEC, FirstFreeDescriptor);
    if (moved < 0)
        return errno;
    handle = TFileHandle(moved);
    return 0;
}

} // namespace

int CreatePipe(TPipe& pipe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    pipe.ReadEnd = TFileHandle(fds[0]);
    pipe.WriteEnd = TFileHandle(fds[1]);
    if (const int error = MoveAboveStandardDescriptors(pipe.ReadEnd))
        return error;
    return MoveAboveStandardDescriptors(pipe.WriteEnd);
}

int SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return errno;
    return 0;
}

TCancelSignal::TCancelSignal() : FHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void TCancelSignal::Raise() noexcept
{
    FRaised = true;
    // The counter is never read back, so the descriptor stays readable for every later wait.
    const std::uint64_t one = 1;
    if (FHandle.IsValid())
        while (::write(FHandle.Get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
}

void TProcessExit::Store(int waitStatus, bool known) noexcept
{
    FWaitStatus = waitStatus;
    FKnown = known;
    FEnded.Raise();
}

namespace {

// 0 when the descriptor is ready (or has ended or failed: the next read or write tells which),
// ECANCELED when the signal came first.
int WaitUntilReady(int fd, short events, const TCancelSignal* cancel)
{
    pollfd entries[2] = {{fd, events, 0}, {cancel ? cancel->Handle() : -1, POLLIN, 0}};
    for (;;) {
        if (::poll(entries, 2, -1) >= 0)
            break;
        if (errno != EINTR)
            return errno;
    }
    return entries[1].revents != 0 ? ECANCELED : 0;
}

bool Cancelled(const TCancelSignal* cancel) { return cancel && cancel->Raised(); }

// A write into a pipe without reader raises SIGPIPE for the writing thread. It is held blocked
// during the write and a SIGPIPE that this write raised is taken back, so the process is never
// killed and the program's own handling of the signal stays untouched.
ssize_t WriteWithoutBrokenPipeSignal(int fd, const char* data, std::size_t size)
{
    sigset_t brokenPipe, previousMask, pending;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, &previousMask);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    const ssize_t written = ::write(fd, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec noWait{};
        sigtimedwait(&brokenPipe, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    errno = error;
    return written;
}

} // namespace

TIoResult ReadPipe(int fd, char* buffer, std::size_t size, const TCancelSignal* cancel)
{
    if (size == 0)
        return {0, EINVAL};
    for (;;) {
        if (Cancelled(cancel))
            return {0, ECANCELED};
        const ssize_t received = ::read(fd, buffer, size);
        if (received >= 0)
            return {static_cast<std::size_t>(received), 0};
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return {0, errno};
        if (const int error = WaitUntilReady(fd, POLLIN, cancel))
            return {0, error};
    }
}

int WaitForSignal(const TCancelSignal& awaited, const TCancelSignal* cancel)
{
    while (!awaited.Raised()) {
        if (Cancelled(cancel))
            return ECANCELED;
        if (const int error = WaitUntilReady(awaited.Handle(), POLLIN, cancel))
            return error;
    }
    return 0;
}

TIoResult WritePipe(int fd, const char* data, std::size_t size, const TCancelSignal* cancel)
{
    if (size == 0)
        return {0, 0};
    for (;;) {
        if (Cancelled(cancel))
            return {0, ECANCELED};
        const ssize_t written = WriteWithoutBrokenPipeSignal(fd, data, size);
        if (written >= 0)
            return {static_cast<std::size_t>(written), 0};
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return {0, errno};
        if (const int error = WaitUntilReady(fd, POLLOUT, cancel))
            return {0, error};
    }
}

QList<QByteArray> SplitCommandLine(const QByteArray& commandLine)
{
    const qsizetype blank = commandLine.indexOf(' ');
    if (blank < 0)
        return {commandLine};
    return {commandLine.left(blank), commandLine.mid(blank + 1)};
}

namespace {

// posix_spawn wants the null-terminated pointer arrays of execve; the strings stay owned by the lists.
std::vector<char*> PointerArray(const QList<QByteArray>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(static_cast<std::size_t>(strings.size()) + 1);
    for (const QByteArray& string : strings)
        pointers.push_back(const_cast<char*>(string.constData()));
    pointers.push_back(nullptr);
    return pointers;
}

// The child changes into its working directory before the program is looked up, so a relative
// program path is made absolute here, where it still means what the caller meant.
QByteArray AbsoluteProgramPath(const QByteArray& program)
{
    if (program.isEmpty() || program.startsWith('/'))
        return program;
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return program;
        buffer.resize(buffer.size() * 2);
    }
    QByteArray path(buffer.data());
    if (!path.endsWith('/'))
        path += '/';
    return path + program;
}

class TSpawnActions {
public:
    TSpawnActions() { posix_spawn_file_actions_init(&FActions); }
    ~TSpawnActions() { posix_spawn_file_actions_destroy(&FActions); }
    TSpawnActions(const TSpawnActions&) = delete;
    TSpawnActions& operator=(const TSpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

class TSpawnAttributes {
public:
    TSpawnAttributes() { posix_spawnattr_init(&FAttributes); }
    ~TSpawnAttributes() { posix_spawnattr_destroy(&FAttributes); }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    posix_spawnattr_t* Get() { return &FAttributes; }

private:
    posix_spawnattr_t FAttributes;
};

int AddFileActions(TSpawnActions& actions, const TProcessStartInfo& info)
{
    if (info.StdInput >= 0)
        if (const int error = posix_spawn_file_actions_adddup2(actions.Get(), info.StdInput, STDIN_FILENO))
            return error;
    if (info.StdOutput >= 0)
        if (const int error = posix_spawn_file_actions_adddup2(actions.Get(), info.StdOutput, STDOUT_FILENO))
            return error;
    // Descriptors that other parts of the program opened without close-on-exec (sockets of the
    // PLC line, log files) must not leak into the child.
    if (const int error = posix_spawn_file_actions_addclosefrom_np(actions.Get(), FirstFreeDescriptor))
        return error;
    if (!info.WorkingDirectory.isEmpty())
        return posix_spawn_file_actions_addchdir_np(actions.Get(), info.WorkingDirectory.constData());
    return 0;
}

// The child starts with no signal blocked and with SIGPIPE at its default, whatever the thread
// that started it had. Unless asked for a group of its own it stays in ours, so that a terminal's
// interrupt that ends us ends it too; a caller that gives it its own group ends it itself.
int SetSignalAttributes(TSpawnAttributes& attributes, bool ownProcessGroup)
{
    sigset_t none, brokenPipe;
    sigemptyset(&none);
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    if (const int error = posix_spawnattr_setsigmask(attributes.Get(), &none))
        return error;
    if (const int error = posix_spawnattr_setsigdefault(attributes.Get(), &brokenPipe))
        return error;
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownProcessGroup) {
        if (const int error = posix_spawnattr_setpgroup(attributes.Get(), 0))
            return error;
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    return posix_spawnattr_setflags(attributes.Get(), flags);
}

// One small thread per child waits for exactly that child: waiting for any child would steal
// the exit status of processes that other parts of the program start and await themselves.
void ReapWhenEnded(pid_t pid, std::shared_ptr<TProcessExit> exit)
{
    try {
        std::thread([pid, exit] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            pthread_setname_np(pthread_self(), "Reaper");
            int status = 0;
            pid_t result;
            while ((result = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
            if (exit)
                exit->Store(status, result == pid);
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread to spare the child stays a zombie until we end; its start succeeded,
        // and a waiter learns that its end cannot be known.
        if (exit)
            exit->Store(0, false);
    }
}

} // namespace

int StartProcess(const TProcessStartInfo& info, pid_t* pid)
{
    const QByteArray program = AbsoluteProgramPath(info.Program);
    const QList<QByteArray> arguments = SplitCommandLine(info.CommandLine);
    std::vector<char*> argv = PointerArray(arguments);
    std::vector<char*> envp = PointerArray(info.Environment);

    TSpawnActions actions;
    if (const int error = AddFileActions(actions, info))
        return error;
    TSpawnAttributes attributes;
    if (const int error = SetSignalAttributes(attributes, info.OwnProcessGroup))
        return error;

    pid_t child = -1;
    if (const int error = posix_spawn(&child, program.constData(), actions.Get(), attributes.Get(), argv.data(), envp.data()))
        return error;
    ReapWhenEnded(child, info.Exit);
    if (pid)
        *pid = child;
    return 0;
}

int SignalProcessGroup(pid_t leader, int signal)
{
    if (leader <= 0)
        return EINVAL;
    return ::kill(-leader, signal) == 0 ? 0 : errno;
}

QString SystemErrorMessage(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}
