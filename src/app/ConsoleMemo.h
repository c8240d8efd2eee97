#pragma once
#include "errorsystem/ErrorSystem.h"
#include <QString>
#include <mutex>

// The windowless program's stand-in for the memo of the "Log" page: the data module's memo lines
// go to standard output, where a service manager keeps them. A line repeated without a break
// (a missing message tag reports itself on every answered read) is printed once, and the number
// of repeats follows when another line comes or the memo ends. When the reader of standard
// output went away (a closed pipe, a journal that restarted), the log file says so once and the
// memo lines are no longer printed.
class TConsoleMemo : public ILogMemo {
public:
    explicit TConsoleMemo(int memoIndex);
    ~TConsoleMemo() override;
    TConsoleMemo(const TConsoleMemo&) = delete;
    TConsoleMemo& operator=(const TConsoleMemo&) = delete;

    int MemoIndex() const override { return FMemoIndex; }
    void AddLine(const QString& text) override;

private:
    void PrintRepeats();
    void Print(const QByteArray& line);

    const int FMemoIndex;
    std::mutex FLock;
    QString FLastLine;
    bool FAnyLine = false;
    long long FRepeats = 0;
    bool FOutputGone = false;
};
