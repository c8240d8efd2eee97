#pragma once
#include <QObject>

// Notices that the application has been asked to quit ("Terminate", a termination signal), so
// that a wait inside an event handler can give up instead of holding the shut-down back: the
// main loop ends only once the handler has returned. Without an application it never notices.
class TQuitRequestWatch : public QObject {
    Q_OBJECT
public:
    explicit TQuitRequestWatch(QObject* owner = nullptr);
    ~TQuitRequestWatch() override;

    bool Requested() const noexcept { return FRequested; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool FRequested = false;
};
