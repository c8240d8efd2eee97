#pragma once
#include "errorsystem/AutoException.h"

// Exception capture that writes the raising thread's call stack below each error line.
class TJCLAutoExceptionErrorLog : public TAutoExceptionErrorLog {
    Q_OBJECT
public:
    explicit TJCLAutoExceptionErrorLog(QObject* owner = nullptr);

    // Also switches on stack recording of raised exceptions for the whole process.
    void Loaded() override;

    // The most stack lines written per exception; a negative value means all.
    int StackListItemCount() const noexcept { return FStackListItemCount; }
    void SetStackListItemCount(int value) noexcept { FStackListItemCount = value; }

protected:
    void DoOnException() override;

private:
    int FStackListItemCount = -1;
};

// Switches on stack recording of raised exceptions; only the first call does anything.
void PrepareJCLToReady();

// The stack of the calling thread's last raised exception, at most ItemCount lines (all when
// negative), each after two TABs: to a log file (empty name: the default log file), kept
// together against other dumps, or to the memos of an index. Without a recorded stack they write
// nothing. Call them from the handler, on the thread that raised.
void WriteJCLInfoToFile(const QString& FileName, int ItemCount);
void WriteJCLInfoToMemo(int MemoIndex, int ItemCount);
