#include "LogTestSupport.h"
#include "platform/Thread.h"
#include <atomic>
#include <thread>

using TestSupport::WaitUntil;

// 8-bit text is rendered printable byte by byte.
TEST(HumanString, RendersBytesPrintable)
{
    const struct {
        QByteArray text;
        QString shown;
    } cases[] = {
        {"plain text", "plain text"},
        {"tab\there", "tab\there"},
        {"ends in LF\n", "ends in LF"},
        {"inner\r\nbreak", "inner 0D 0Abreak"},
        {"\n\n", " 0A"},
        {QByteArray("\x00\x01\x1f", 3), " 00 01 1F"},
        {"\x7e\x7f\x80\xff", "~\x7f 80 FF"},
        {"r\xf8", "r F8"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HumanString(c.text), c.shown) << c.text.toHex().constData();
        EXPECT_EQ(HumanString(c.text, true), c.shown) << c.text.toHex().constData();
    }
}

// A worker's line reaches the memo on the main thread, which serves events meanwhile; the worker
// returns only once the line is there.
TEST_F(LogSystemTest, WorkerLineIsHandedToTheMainThread)
{
    TTestMemo memo(3);
    RegisterMemo(&memo);
    std::atomic<bool> returned{false};
    std::atomic<qsizetype> linesWhenReturned{-1};
    std::thread worker([&] {
        WriteToMemo(QByteArray("from worker\r\n"), 3);
        WriteToMemo(QString("wide"), 3);
        returned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    worker.join();
    UnregisterMemo(&memo);

    EXPECT_EQ(memo.Lines(), (QStringList{"from worker 0D", "wide"}));
    EXPECT_TRUE(memo.AllAddedOnMainThread());
}

// Every memo of an index gets the line, in registry order; memos of other indexes get nothing.
TEST_F(LogSystemTest, LineGoesToEveryMemoOfTheIndex)
{
    TTestMemo first(1), second(1), other(2);
    RegisterMemo(&first);
    RegisterMemo(&other);
    RegisterMemo(&second);
    RegisterMemo(&first);
    WriteToMemo(QByteArray("one"), 1);
    WriteToMemo(QByteArray("nobody"), 7);
    WriteToLog("both", 1);
    UnregisterMemo(&first);
    WriteToMemo(QByteArray("after"), 1);
    UnregisterMemo(&second);
    UnregisterMemo(&other);

    EXPECT_EQ(first.Lines(), (QStringList{"one", "both"}));
    EXPECT_EQ(second.Lines(), (QStringList{"one", "both", "after"}));
    EXPECT_TRUE(other.Lines().isEmpty());
    EXPECT_EQ(AfterTimeStamp(FileLines(LogFile()).value(0)), "both");
}

// The highest registered index comes back with the number of memos of the asked index.
TEST_F(LogSystemTest, LastMemoIndexAndCount)
{
    int count = -1;
    EXPECT_EQ(GetLastMemoIndex(0, count), -1);
    EXPECT_EQ(count, 0);

    TTestMemo main(0), diagnostics(1), second(1);
    RegisterMemo(&main);
    EXPECT_EQ(GetLastMemoIndex(0, count), 0);
    EXPECT_EQ(count, 1);
    RegisterMemo(&diagnostics);
    RegisterMemo(&second);
    EXPECT_EQ(GetLastMemoIndex(1, count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(GetLastMemoIndex(5, count), 1);
    EXPECT_EQ(count, 0);
    UnregisterMemo(&diagnostics);
    UnregisterMemo(&second);
    UnregisterMemo(&main);
}

namespace {

// Signals when a delivery has begun, then hands it to the main thread as the widgets do.
class TSlowMemo : public TTestMemo {
public:
    using TTestMemo::TTestMemo;
    void AddLine(const QString& text) override
    {
        Delivering = true;
        Entered.SetEvent();
        TTestMemo::AddLine(text);
        Delivering = false;
    }
    TEvent Entered;
    std::atomic<bool> Delivering{false};
};

} // namespace

// A memo that unregisters while a worker is delivering to it is left alone by the worker before
// the unregistering returns, so it may be destroyed right after.
TEST_F(LogSystemTest, UnregisterWaitsForDeliveryUnderWay)
{
    auto memo = std::make_unique<TSlowMemo>(4);
    RegisterMemo(memo.get());
    std::thread worker([&] { WriteToMemo(QByteArray("in flight"), 4); });
    ASSERT_EQ(memo->Entered.WaitFor(10000), TWaitResult::wrSignaled);

    UnregisterMemo(memo.get());
    EXPECT_FALSE(memo->Delivering.load());
    EXPECT_EQ(memo->Lines(), QStringList{"in flight"});
    memo.reset();
    worker.join();
}
