#pragma once
#include <QString>

// The tray program's start-up on a display: the splash window while the data module and the main
// window are created and initialised, the message loop, the shut-down. Returns the exit status.
int RunWindowedProgram(int argc, char** argv);

// Shows a start-up failure in a modal message box. With VOCATOR_ANSWER_MESSAGE_BOXES set in the
// environment the box answers itself once shown and its text goes to standard error, so that
// tests can see it without a user.
void ShowStartUpFailure(const QString& text);
