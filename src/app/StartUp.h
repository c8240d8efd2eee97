#pragma once
#include <QString>
#include <QStringList>

// A switch is a parameter of "/" and its name, compared without regard to case, anywhere on the
// command line; "-" introduces none.
bool FindCmdLineSwitch(const QStringList& arguments, const QString& name);

// Writes the identification lines of the modules and of the program to "versions.txt".
void WriteVersionsFile();

// The built-in self-test: one line per check on standard output; 0 when every check passed.
int RunSelfTest();
