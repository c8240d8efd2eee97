#include "app/gui/Timeout.h"
#include "platform/Timer.h"
#include <QCoreApplication>

TTimeOut::TTimeOut(QObject* owner) : QObject(owner), FTimer(new TTimer(this, QStringLiteral("Timer")))
{
    FTimer->SetEnabled(false);
    FTimer->OnTimer = [this](QObject*) { FOnTime(); };
}

int TTimeOut::Interval() const { return FTimer->Interval(); }

void TTimeOut::SetInterval(int milliseconds) { FTimer->SetInterval(milliseconds); }

void TTimeOut::Start()
{
    if (!Enabled)
        return;
    FRunning = true;
    FTimer->SetEnabled(true);
}

void TTimeOut::Stop()
{
    FRunning = false;
    FTimer->SetEnabled(false);
}

void TTimeOut::ReStart()
{
    Stop();
    Start();
}

void TTimeOut::Wait()
{
    if (!Enabled)
        return;
    if (!FRunning)
        Start();
    // The timer's own event wakes the wait: no spinning between the passes.
    while (FRunning) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (OnWait)
            OnWait(this);
    }
}

void TTimeOut::FOnTime()
{
    FTimer->SetEnabled(false);
    FRunning = false;
    if (OnTimer)
        OnTimer(this);
}
