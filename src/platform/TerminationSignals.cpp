#include "platform/TerminationSignals.h"
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int TerminationSignalList[] = {SIGTERM, SIGINT, SIGHUP};

int SignalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
    errno = saved;
}

extern "C" void OnBrokenPipe(int) {}

void SetAction(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

} // namespace

void InstallTerminationSignals()
{
    // The pipe exists before the handler can run, and is made once: a byte written by an early
    // signal must still be there for the loop.
    if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    for (const int signal : TerminationSignalList)
        SetAction(signal, OnTerminationSignal);
    SetAction(SIGPIPE, OnBrokenPipe);
}

void RestoreDefaultTerminationSignals()
{
    for (const int signal : TerminationSignalList)
        SetAction(signal, SIG_DFL);
    unsigned char byte = 0;
    if (SignalPipe[0] >= 0 && ::read(SignalPipe[0], &byte, 1) == 1)
        ::raise(byte);
}

TTerminationSignals::TTerminationSignals(std::function<void(int)> onSignal, QObject* owner)
    : QObject(owner), FOnSignal(std::move(onSignal))
{
    InstallTerminationSignals();
    if (SignalPipe[0] < 0)
        return;
    // A byte already in the pipe makes the notifier fire at the loop's first pass.
    FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { ReadSignal(); });
}

// The handlers stay: a signal during the shut-down that follows only adds a byte to the pipe,
// and the shut-down goes on.
TTerminationSignals::~TTerminationSignals() = default;

void TTerminationSignals::ReadSignal()
{
    unsigned char byte = 0;
    while (::read(SignalPipe[0], &byte, 1) == 1)
        if (FOnSignal)
            FOnSignal(byte);
}
