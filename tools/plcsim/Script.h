#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

class TSimCommands;

// A timed script: one command per line after the milliseconds since the simulator became
// ready, for example "2000 set Message Dobrý den". Lines run in time order, lines of the same
// time in file order; empty lines and "#" comments are skipped.
class TSimScript : public QObject {
    Q_OBJECT
public:
    struct TLine {
        qint64 Time = 0;
        QString Command;
        int Number = 0; // line number in the file, for the output
    };

    // Raises Exception for a file that cannot be read, a line without a valid time or with an
    // unknown command.
    static std::vector<TLine> Load(const QString& fileName);

    TSimScript(std::vector<TLine> lines, TSimCommands& commands, QObject* owner = nullptr);
    // Times count from here. Each line prints "script line N: COMMAND: REPLY".
    void Start();

private:
    void RunDue();

    std::vector<TLine> FLines;
    std::size_t FNext = 0;
    TSimCommands& FCommands;
    QElapsedTimer FClock;
    QTimer FTimer;
};
