#pragma once
#include <QObject>
#include <functional>

// A component timer: fires OnTimer every Interval ms while Enabled. Changing the interval of a
// running timer starts the period anew. The timer is its own event receiver, so an exception that
// escapes OnTimer is reported with the timer as its source.
class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(QObject* owner = nullptr, const QString& name = QString());
    ~TTimer() override;

    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value);
    int Interval() const noexcept { return FInterval; }
    void SetInterval(int milliseconds);

    std::function<void(QObject* sender)> OnTimer;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void Restart();

    bool FEnabled = true;
    int FInterval = 1000;
    int FTimerId = 0;
};
