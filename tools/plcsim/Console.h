#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class TSimCommands;

// Prints one line on standard output at once, so that a test reading the pipe sees it.
void PrintLine(const QString& line);

// Commands from standard input, one per line, each answered with one line. At the end of input
// the simulator goes on serving; "quit" or a termination signal ends it.
class TSimConsole : public QObject {
    Q_OBJECT
public:
    explicit TSimConsole(TSimCommands& commands, QObject* owner = nullptr);

private:
    void ReadInput();

    TSimCommands& FCommands;
    QSocketNotifier* FNotifier = nullptr;
    QByteArray FPending;
    bool FDiscarding = false; // within a line too long to be a command
};
