#include "Script.h"
#include "Commands.h"
#include "Console.h"
#include "platform/Exceptions.h"
#include "platform/TextFile.h"
#include <algorithm>

std::vector<TSimScript::TLine> TSimScript::Load(const QString& fileName)
{
    const QStringList lines = SplitTextLines(LoadTextFile(fileName));
    std::vector<TLine> script;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        bool ok = false;
        const qint64 time = line.left(blank).toLongLong(&ok);
        const QString command = blank < 0 ? QString() : line.mid(blank + 1).trimmed();
        if (!ok || time < 0 || command.isEmpty())
            throw Exception(QStringLiteral("%1 line %2: expected milliseconds and a command").arg(fileName).arg(i + 1));
        try {
            TSimCommands::CheckCommandWord(command);
        } catch (const Exception& error) {
            throw Exception(QStringLiteral("%1 line %2: %3").arg(fileName).arg(i + 1).arg(error.Message()));
        }
        script.push_back({time, command, i + 1});
    }
    std::stable_sort(script.begin(), script.end(), [](const TLine& a, const TLine& b) { return a.Time < b.Time; });
    return script;
}

TSimScript::TSimScript(std::vector<TLine> lines, TSimCommands& commands, QObject* owner)
    : QObject(owner), FLines(std::move(lines)), FCommands(commands)
{
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, &TSimScript::RunDue);
}

void TSimScript::Start()
{
    FClock.start();
    RunDue();
}

void TSimScript::RunDue()
{
    while (FNext < FLines.size() && FLines[FNext].Time <= FClock.elapsed()) {
        const TLine& line = FLines[FNext++];
        PrintLine(QStringLiteral("script line %1: %2: %3").arg(line.Number).arg(line.Command, FCommands.Execute(line.Command)));
    }
    if (FNext < FLines.size())
        FTimer.start(int(std::min<qint64>(FLines[FNext].Time - FClock.elapsed(), 24 * 3600 * 1000)));
}
