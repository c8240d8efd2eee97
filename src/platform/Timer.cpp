#include "platform/Timer.h"
#include <QTimerEvent>

TTimer::TTimer(QObject* owner, const QString& name) : QObject(owner)
{
    setObjectName(name);
    Restart();
}

TTimer::~TTimer()
{
    if (FTimerId)
        killTimer(FTimerId);
}

void TTimer::SetEnabled(bool value)
{
    if (value == FEnabled)
        return;
    FEnabled = value;
    Restart();
}

void TTimer::SetInterval(int milliseconds)
{
    if (milliseconds == FInterval)
        return;
    FInterval = milliseconds;
    Restart();
}

void TTimer::Restart()
{
    if (FTimerId) {
        killTimer(FTimerId);
        FTimerId = 0;
    }
    // An interval of 0 keeps the timer silent, as the component always did.
    if (FEnabled && FInterval > 0)
        FTimerId = startTimer(FInterval, Qt::PreciseTimer);
}

void TTimer::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != FTimerId) {
        QObject::timerEvent(event);
        return;
    }
    if (OnTimer)
        OnTimer(this);
}
