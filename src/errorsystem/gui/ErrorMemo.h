#pragma once
#include "errorsystem/ErrorSystem.h"
#include "platform/Thread.h"
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

class TErrorMemo;

// The memo's delivery thread: lines queued with AddLine reach the memo one by one without the
// caller waiting for the main thread. It sleeps on its event while the queue is empty.
class TMemoThread : public TThread {
public:
    explicit TMemoThread(TErrorMemo* AMemo);
    ~TMemoThread() override;

    // Queues the line and returns at once.
    void AddLine(const QString& Atext);

protected:
    void Execute() override;

private:
    bool TakeLine(QString& line);

    std::atomic<TErrorMemo*> FMemo;
    std::mutex FSO;
    // Manual reset: it stays signalled while lines are queued.
    TEvent FEvent{true, false};
    std::deque<QString> FLines;
};

// The on-screen log: time-stamped lines, trimmed to MaxLines once it holds more than 300 beyond
// them. Any thread may add a line; a worker's line is handed to the main thread, and AddLine
// returns when it is in. Only Loaded registers it for WriteToMemo.
class TErrorMemo : public QPlainTextEdit, public ILogMemo {
    Q_OBJECT
public:
    explicit TErrorMemo(QWidget* parent = nullptr);
    ~TErrorMemo() override;

    // The owner's last step after setting the properties: from now on WriteToMemo reaches the memo.
    void Loaded();

    int MemoIndex() const override { return FMemoIndex.load(); }
    void SetMemoIndex(int value) { FMemoIndex.store(value); }
    int MaxLines() const { return FMaxLines; }
    void SetMaxLines(int value) { FMaxLines = value; }
    // Day, month, year, hour, minutes, seconds as the runtime's date patterns write them.
    QString DateTimeFormat() const { return FDateTimeFormat; }
    void SetDateTimeFormat(const QString& value) { FDateTimeFormat = value; }
    // Puts the id of the thread that adds the line (always the main thread) after the time stamp.
    bool PrintThreadId() const { return FPrintThreadId.load(); }
    void SetPrintThreadId(bool value) { FPrintThreadId.store(value); }

    void AddLine(const QString& Atext) override;
    // The memo's delivery thread: a line queued there reaches the memo without the caller waiting.
    TMemoThread* MemoThread() const { return FMT.get(); }
    // Every line the memo holds, oldest first (for saving the log).
    QStringList Lines() const;
    int LineCount() const;

private:
    void AddLineOnMainThread(const QString& Atext);
    void TrimAndAppend(const QString& line);

    int FMaxLines = 100;
    QString FDateTimeFormat;
    std::atomic<int> FMemoIndex{0};
    std::atomic<bool> FPrintThreadId{false};
    std::atomic<bool> FDestroying{false};
    std::unique_ptr<TMemoThread> FMT;
};
