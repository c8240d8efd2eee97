#pragma once

class QWidget;

// What the windows tell the start-up about its message loop: whether the main window is shown
// when the loop starts, and that the program is to end. A request to end that comes before the
// loop runs (the single-instance guard, a signal during start-up) makes the loop end at once.
namespace ApplicationRun {

bool ShowMainForm();
void SetShowMainForm(bool value);

void Terminate();
bool Terminated();

// Shows the main window unless that was suppressed, then runs the loop unless the program was
// already told to end.
int Run(QWidget* mainForm);

} // namespace ApplicationRun
