#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP end the program through its normal shut-down, whenever they come.
// The handler only writes a byte into a pipe; the event loop reads it. The handler is installed
// first thing in main, so a signal that comes while the program starts waits in the pipe and
// ends the program as soon as its loop runs. SIGPIPE gets a handler that does nothing: a write
// to a pipe or socket whose reader went away fails with EPIPE instead of killing the program,
// and a child started later begins with the default action again (a caught signal is reset by
// exec, an ignored one would be inherited).
void InstallTerminationSignals();
// Back to the default actions, for a run without an event loop (the self-test); a signal that
// already came is raised again, so it ends the process as it would have without the handler.
void RestoreDefaultTerminationSignals();

// Hands every termination signal, the early ones included, to onSignal on the main thread.
class TTerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TTerminationSignals(std::function<void(int signal)> onSignal, QObject* owner = nullptr);
    ~TTerminationSignals() override;

private:
    void ReadSignal();

    std::function<void(int)> FOnSignal;
    QSocketNotifier* FNotifier = nullptr;
};
