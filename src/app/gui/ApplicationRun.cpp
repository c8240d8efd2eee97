#include "app/gui/ApplicationRun.h"
#include <QApplication>
#include <QWidget>

namespace ApplicationRun {
namespace {

bool FShowMainForm = true;
bool FTerminated = false;

} // namespace

bool ShowMainForm() { return FShowMainForm; }

void SetShowMainForm(bool value) { FShowMainForm = value; }

void Terminate()
{
    FTerminated = true;
    // exit, not quit: a quit request asks every window to close first, and the main window only
    // hides when asked.
    QCoreApplication::exit(0);
}

bool Terminated() { return FTerminated; }

int Run(QWidget* mainForm)
{
    if (FShowMainForm && mainForm && !FTerminated)
        mainForm->show();
    if (FTerminated)
        return 0;
    return QApplication::exec();
}

} // namespace ApplicationRun
