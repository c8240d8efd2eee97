#include "platform/QuitRequest.h"
#include <QCoreApplication>
#include <QEvent>

// A request to quit reaches the application object as a Quit event before any loop ends, and
// an application-wide filter sees it there, also inside a nested wait.
TQuitRequestWatch::TQuitRequestWatch(QObject* owner) : QObject(owner)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installEventFilter(this);
}

TQuitRequestWatch::~TQuitRequestWatch()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

bool TQuitRequestWatch::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance())
        FRequested = true;
    return false;
}
