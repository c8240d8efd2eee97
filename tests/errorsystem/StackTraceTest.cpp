#include "LogTestSupport.h"
#include "errorsystem/JCLAutoException.h"
#include "platform/StackTrace.h"
#include <QFile>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Tracking is process-wide and stays on once a capture component has loaded.
class StackTraceTest : public LogSystemTest {
protected:
    StackTraceTest() { PrepareJCLToReady(); }
};

bool SameFrames(const TRawStack& a, const TRawStack& b)
{
    return a.Count == b.Count && std::equal(a.Frames, a.Frames + a.Count, b.Frames);
}

[[gnu::noinline]] void RaiseFromHere() { throw std::runtime_error("main thread"); }

} // namespace

// Exceptions raised inside the standard library are recorded where they begin, with the calling
// test frame among them.
TEST_F(StackTraceTest, RecordsRaisesInsideTheStandardLibrary)
{
    const std::function<void()> raisers[] = {
        [] { (void)std::vector<int>(3).at(5); },
        [] { (void)std::stoi(std::string("not a number")); },
        [] { (void)std::string("abc").substr(10); },
    };
    int i = 0;
    for (const auto& raise : raisers) {
        ClearLastExceptionStack();
        try {
            raise();
        } catch (const std::exception&) {
        }
        ASSERT_TRUE(HasLastExceptionStack()) << i;
        const QStringList lines = LastExceptionStack();
        EXPECT_FALSE(lines.filter("StackTraceTest.cpp").isEmpty()) << i << "\n" << qPrintable(lines.join('\n'));
        ++i;
    }
}

// Catching, rethrowing and a raise on another thread leave the thread's own record as it was.
TEST_F(StackTraceTest, RecordIsPerThreadAndSurvivesRethrow)
{
    try {
        RaiseFromHere();
    } catch (...) {
        try {
            throw;
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            try {
                std::rethrow_exception(error);
            } catch (...) {
            }
        }
    }
    const TRawStack mainRecord = LastExceptionRawStack();
    ASSERT_GT(mainRecord.Count, 0u);
    EXPECT_TRUE(RenderFrame(mainRecord.Frames[0]).contains("RaiseFromHere")) << qPrintable(RenderFrame(mainRecord.Frames[0]));

    bool workerHadNoneAtStart = false, workerRecorded = false;
    TRawStack workerRecord{};
    std::thread worker([&] {
        workerHadNoneAtStart = !HasLastExceptionStack();
        try {
            throw std::logic_error("worker");
        } catch (...) {
        }
        workerRecorded = HasLastExceptionStack();
        workerRecord = LastExceptionRawStack();
    });
    worker.join();
    EXPECT_TRUE(workerHadNoneAtStart);
    EXPECT_TRUE(workerRecorded);
    EXPECT_FALSE(SameFrames(workerRecord, mainRecord));
    EXPECT_TRUE(SameFrames(LastExceptionRawStack(), mainRecord));
}

// The dumps write nothing without a recorded stack, and the whole stack after two TABs otherwise.
TEST_F(StackTraceTest, DumpsWriteTheRecordedStackOnly)
{
    TTestMemo memo(0);
    RegisterMemo(&memo);
    ClearLastExceptionStack();
    WriteJCLInfoToFile(QString(), -1);
    WriteJCLInfoToMemo(0, -1);
    EXPECT_FALSE(QFile::exists(LogFile()));
    EXPECT_TRUE(memo.Lines().isEmpty());

    try {
        RaiseFromHere();
    } catch (...) {
        WriteJCLInfoToFile(QString(), -1);
        WriteJCLInfoToMemo(0, 2);
    }
    UnregisterMemo(&memo);
    const QStringList lines = FileLines(LogFile());
    EXPECT_EQ(static_cast<std::size_t>(lines.size()), LastExceptionRawStack().Count);
    for (const QString& line : lines)
        EXPECT_TRUE(AfterTimeStamp(line).startsWith("\t\t")) << qPrintable(line);
    ASSERT_EQ(memo.Lines().size(), 2);
    EXPECT_TRUE(memo.Lines().at(0).startsWith("\t\t"));
    EXPECT_TRUE(memo.Lines().at(0).contains("RaiseFromHere"));
}

// The calling thread's stack now starts with the caller.
TEST_F(StackTraceTest, CurrentStackStartsAtTheCaller)
{
    const QStringList lines = CurrentThreadStack();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.at(0).contains("StackTraceTest.cpp")) << qPrintable(lines.join('\n'));
    EXPECT_FALSE(lines.at(0).contains("CurrentThreadStack")) << qPrintable(lines.at(0));
}
