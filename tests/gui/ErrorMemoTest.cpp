#include "errorsystem/gui/ErrorMemo.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/Thread.h"
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// Runs the workers and keeps the main thread's events flowing until all of them have finished.
void RunWorkers(int count, const std::function<void(int)>& work)
{
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int k = 0; k < count; ++k)
        workers.emplace_back([&, k] {
            work(k);
            ++finished;
            WakeMainThread();
        });
    ProcessEventsUntil([&] { return finished.load() == count; });
    for (std::thread& worker : workers)
        worker.join();
}

const QRegularExpression StampedLine(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d{1,2}:\\d\\d:\\d\\d\\t(.*)$"));

QString TextOf(const QString& line) { return StampedLine.match(line).captured(1); }

} // namespace

// A memo of 200 lines grows to 501, and the 502nd line leaves the newest 200 earlier ones and itself.
TEST(ErrorMemo, TrimsOnceItHolds300LinesBeyondMaxLines)
{
    TErrorMemo memo;
    memo.SetMaxLines(200);
    const struct {
        int additions;
        int lines;
        QString first;
    } steps[] = {{1, 1, "line 1"}, {501, 501, "line 1"}, {502, 201, "line 302"}, {802, 501, "line 302"}, {803, 201, "line 603"}};
    int added = 0;
    for (const auto& step : steps) {
        while (added < step.additions)
            memo.AddLine(QStringLiteral("line %1").arg(++added));
        const QStringList lines = memo.Lines();
        ASSERT_EQ(lines.size(), step.lines) << step.additions;
        EXPECT_EQ(TextOf(lines.first()), step.first) << step.additions;
        EXPECT_EQ(TextOf(lines.last()), QStringLiteral("line %1").arg(added));
    }
}

// A worker's AddLine returns only once the line is in, stamped and numbered by the main thread.
TEST(ErrorMemo, WorkerLineIsInWhenAddLineReturns)
{
    TErrorMemo memo;
    memo.SetPrintThreadId(true);
    std::atomic<int> linesShown{0};
    QObject::connect(&memo, &QPlainTextEdit::textChanged, [&] { linesShown = memo.LineCount(); });
    int seenAfterReturn = -1;
    std::uint32_t workerId = 0;
    RunWorkers(1, [&](int) {
        workerId = CurrentThreadId();
        memo.AddLine(QStringLiteral("from worker"));
        seenAfterReturn = linesShown.load();
    });
    EXPECT_EQ(seenAfterReturn, 1);
    ASSERT_EQ(memo.LineCount(), 1);
    EXPECT_NE(workerId, CurrentThreadId());
    EXPECT_EQ(TextOf(memo.Lines().first()), QString::number(CurrentThreadId()) + QStringLiteral("\tfrom worker"));
}

// Four threads logging at once: every line arrives whole, and each thread's lines in its order.
TEST(ErrorMemo, LinesOfSeveralThreadsStayWholeAndOrdered)
{
    TErrorMemo memo;
    memo.SetMaxLines(1000);
    const int threads = 4, perThread = 100;
    const QString tail(200, u'x');
    RunWorkers(threads, [&](int k) {
        for (int i = 0; i < perThread; ++i)
            memo.AddLine(QStringLiteral("T%1 %2 ").arg(k).arg(i) + tail);
    });
    const QStringList lines = memo.Lines();
    ASSERT_EQ(lines.size(), threads * perThread);
    std::vector<int> next(threads, 0);
    const QRegularExpression text(QStringLiteral("^T(\\d) (\\d+) (x*)$"));
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = text.match(TextOf(line));
        ASSERT_TRUE(m.hasMatch()) << qPrintable(line);
        EXPECT_EQ(m.captured(3), tail);
        EXPECT_EQ(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
    }
}

// WriteToMemo reaches a memo of its index only after the memo's Loaded step; a disabled one shows nothing.
TEST(ErrorMemo, OnlyLoadedEnabledMemosOfTheIndexGetLogLines)
{
    TLogSystemScope logSystem;
    TErrorMemo notLoaded, loaded, otherIndex, disabled;
    otherIndex.SetMemoIndex(3);
    disabled.setEnabled(false);
    loaded.Loaded();
    otherIndex.Loaded();
    disabled.Loaded();
    WriteToMemo(QStringLiteral("to zero"), 0);
    EXPECT_EQ(notLoaded.LineCount(), 0);
    EXPECT_EQ(otherIndex.LineCount(), 0);
    EXPECT_EQ(disabled.LineCount(), 0);
    ASSERT_EQ(loaded.LineCount(), 1);
    EXPECT_EQ(TextOf(loaded.Lines().first()), QStringLiteral("to zero"));
}

// A memo destroyed while a worker keeps logging to it goes away cleanly, and the worker goes on.
TEST(ErrorMemo, DestroyedWhileAWorkerLogsToIt)
{
    TLogSystemScope logSystem;
    auto memo = std::make_unique<TErrorMemo>();
    memo->Loaded();
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread worker([&] {
        while (!stop.load()) {
            WriteToMemo(QStringLiteral("busy"), 0);
            ++written;
            WakeMainThread();
        }
    });
    ProcessEventsUntil([&] { return memo->LineCount() >= 20; });
    memo.reset();
    const int afterDestruction = written.load();
    ProcessEventsUntil([&] { return written.load() > afterDestruction + 100; });
    stop = true;
    worker.join();
}
