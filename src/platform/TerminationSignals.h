#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a call on the main thread, so that a service manager or Ctrl+C
// ends the program through its normal shut-down. The handler only writes a byte into a pipe;
// the event loop reads it.
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
