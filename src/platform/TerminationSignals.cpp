#include "platform/TerminationSignals.h"
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
    errno = saved;
}

void Install(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

TTerminationSignals::TTerminationSignals(std::function<void(int)> onSignal, QObject* owner)
    : QObject(owner), FOnSignal(std::move(onSignal))
{
    if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { ReadSignal(); });
    Install(OnTerminationSignal);
}

TTerminationSignals::~TTerminationSignals() { Install(SIG_DFL); }

void TTerminationSignals::ReadSignal()
{
    unsigned char byte = 0;
    while (::read(SignalPipe[0], &byte, 1) == 1)
        if (FOnSignal)
            FOnSignal(byte);
}
