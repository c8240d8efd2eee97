#pragma once
#include "Counters.h"
#include "Faults.h"
#include <QString>
#include <QStringList>
#include <functional>

class TSimMemory;
class TSimSlave;
class TSimWebServer;

// The commands of standard input and of the script, one per line; HelpText lists them.
class TSimCommands {
public:
    TSimCommands(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, TSimSlave& slave,
                 TSimWebServer* web, std::function<void()> quit);

    // Runs one line and gives the one line to print: "ok", "ok VALUE", the counters, or
    // "error: MESSAGE". Empty lines and "#" comments give an empty text and do nothing.
    QString Execute(const QString& line);
    // Raises Exception when the line's first word is not a command.
    static void CheckCommandWord(const QString& line);
    static QString HelpText();

private:
    QString Run(const QString& command, const QString& rest);

    TSimMemory& FMemory;
    TSimFaults& FFaults;
    TSimCounters& FCounters;
    TSimSlave& FSlave;
    TSimWebServer* FWeb;
    std::function<void()> FQuit;
};
