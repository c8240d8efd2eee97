#include "platform/Thread.h"
#include "platform/Exceptions.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <atomic>

namespace {

class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> body) : FBody(std::move(body)) {}
    using TThread::SetReturnValue;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TLambdaThread&)> FBody;
};

} // namespace

// A worker's hand-over runs on the main thread while the main thread waits for that worker,
// and an exception thrown there arrives in the worker.
TEST(Thread, SynchronizeWhileMainThreadWaits)
{
    std::atomic<bool> ranOnMain{false};
    QString caught;
    TLambdaThread worker([&](TLambdaThread& self) {
        Synchronize([&] { ranOnMain = IsMainThread(); });
        try {
            Synchronize([] { throw EConvertError("bad value"); });
        } catch (const Exception& e) {
            caught = e.ClassName() + ":" + e.Message();
        }
        self.SetReturnValue(7);
    });
    worker.Start();
    EXPECT_EQ(worker.WaitFor(), 7);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(caught, "EConvertError:bad value");
}

// A thread created suspended runs nothing until started; Terminate is a request it polls.
TEST(Thread, SuspendedStartAndTerminate)
{
    std::atomic<int> loops{0};
    TLambdaThread worker([&](TLambdaThread& self) {
        while (!self.Terminated())
            loops++, SleepMs(1);
    });
    SleepMs(20);
    EXPECT_EQ(loops.load(), 0);
    worker.Start();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return loops > 0; }));
    worker.Terminate();
    worker.WaitFor();
    EXPECT_TRUE(worker.Finished());
}

// A self-freeing thread deletes itself; an exception escaping Execute is kept, not fatal.
TEST(Thread, FreeOnTerminateAndFatalException)
{
    std::atomic<bool> done{false};
    auto* selfFreeing = new TLambdaThread([&](TLambdaThread&) { done = true; });
    selfFreeing->SetFreeOnTerminate(true);
    selfFreeing->Start();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return done.load(); }));

    TLambdaThread failing([](TLambdaThread&) { throw Exception("boom"); });
    failing.Start();
    failing.WaitFor();
    ASSERT_TRUE(failing.FatalException());
    EXPECT_EQ(DescribeException(failing.FatalException()).Message, "boom");
}

// An auto-reset event releases one wait per signal; a manual-reset one stays set.
TEST(Thread, Events)
{
    TEvent autoReset;
    EXPECT_EQ(autoReset.WaitFor(0), TWaitResult::wrTimeout);
    autoReset.SetEvent();
    EXPECT_EQ(autoReset.WaitFor(0), TWaitResult::wrSignaled);
    EXPECT_EQ(autoReset.WaitFor(10), TWaitResult::wrTimeout);

    TEvent manual(true, true);
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrSignaled);
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrSignaled);
    manual.ResetEvent();
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrTimeout);

    TEvent crossThread;
    TLambdaThread setter([&](TLambdaThread&) { SleepMs(20), crossThread.SetEvent(); });
    setter.Start();
    EXPECT_EQ(crossThread.WaitFor(5000), TWaitResult::wrSignaled);
    setter.WaitFor();
}
