#include "app/ConsoleMemo.h"
#include <cstdio>

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
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
    FLastLine = text;
    FAnyLine = true;
}

void TConsoleMemo::PrintRepeats()
{
    if (FRepeats == 0)
        return;
    std::printf("(the line above came %lld more time%s)\n", FRepeats, FRepeats == 1 ? "" : "s");
    std::fflush(stdout);
    FRepeats = 0;
}
