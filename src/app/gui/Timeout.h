#pragma once
#include <QObject>
#include <functional>

class TTimer;

// A one-shot timer: OnTimer fires once per Start, Interval ms later. Wait blocks in the event
// loop until then, the main thread serving its events meanwhile.
class TTimeOut : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;

    explicit TTimeOut(QObject* owner = nullptr);

    // Whether the countdown may be started at all.
    bool Enabled = true;
    TNotifyEvent OnTimer;
    // Called on every pass of the loop in Wait.
    TNotifyEvent OnWait;

    int Interval() const;
    void SetInterval(int milliseconds);
    bool running() const noexcept { return FRunning; }

    void Start();
    void Stop();
    // A full new interval from now, running or not.
    void ReStart();
    // Starts the countdown if it is not running and returns when it is up; at once when not Enabled.
    void Wait();

private:
    void FOnTime();

    TTimer* FTimer;
    bool FRunning = false;
};
