#include "app/ConsoleMemo.h"
#include <cerrno>
#include <cstdio>
#include <cstring>

TConsoleMemo::TConsoleMemo(int memoIndex) : FMemoIndex(memoIndex) { RegisterMemo(this); }

TConsoleMemo::~TConsoleMemo()
{
    UnregisterMemo(this);
    std::lock_guard lock(FLock);
    PrintRepeats();
}

void TConsoleMemo::AddLine(const QString& text)
{
    // Any thread may log; the lock keeps lines whole and the repeat count right.
    std::lock_guard lock(FLock);
    if (FAnyLine && text == FLastLine) {
        ++FRepeats;
        return;
    }
    PrintRepeats();
    Print(text.toLocal8Bit());
    FLastLine = text;
    FAnyLine = true;
}

void TConsoleMemo::PrintRepeats()
{
    if (FRepeats == 0)
        return;
    Print(QStringLiteral("(the line above came %1 more time%2)").arg(FRepeats).arg(FRepeats == 1 ? "" : "s").toLocal8Bit());
    FRepeats = 0;
}

void TConsoleMemo::Print(const QByteArray& line)
{
    if (FOutputGone)
        return;
    const bool written = std::fwrite(line.constData(), 1, line.size(), stdout) == static_cast<size_t>(line.size()) &&
                         std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
    if (written)
        return;
    // A pipe whose reader is gone stays broken: one line in the log file, and no further tries.
    const int error = errno;
    FOutputGone = true;
    WriteToFile(QStringLiteral("Standard output cannot be written (") + QString::fromLocal8Bit(std::strerror(error)) +
                QStringLiteral("): the lines of the log page are no longer printed"));
}
