#include "comm/SpinLock.h"
#include "platform/Thread.h"
#include "QtPrinters.h"
#include <gtest/gtest.h>
#include <mutex>
#include <sched.h>
#include <thread>
#include <vector>

namespace {

// Shows the lock record and the stored no-sleep count.
class TInspectableSpinLock : public TSpinLock {
public:
    using TSpinLock::TSpinLock;
    std::uint32_t OwnerID() const { return FOwner->OwnerID.load(); }
    std::int32_t Count() const { return FOwner->Count; }
    std::uint32_t NoSleepCount() const { return FNoSleepCount; }
};

// Runs a function on another thread and waits for its result.
template <typename TFunction> auto OnOtherThread(TFunction function)
{
    decltype(function()) result{};
    std::thread thread([&] { result = function(); });
    thread.join();
    return result;
}

// Holds a lock on a thread of its own until told to let go.
class THolder {
public:
    explicit THolder(TSpinLock& lock, int depth = 1)
        : FThread([this, &lock, depth] {
              for (int i = 0; i < depth; ++i)
                  lock.Acquire();
              FThreadId = CurrentThreadId();
              FHolding.SetEvent();
              FLetGo.WaitFor(-1);
              for (int i = 0; i < depth; ++i)
                  lock.Release();
          })
    {
        FHolding.WaitFor(-1);
    }
    ~THolder()
    {
        LetGo();
    }
    void LetGo()
    {
        if (FThread.joinable()) {
            FLetGo.SetEvent();
            FThread.join();
        }
    }
    std::uint32_t ThreadId() const { return FThreadId; }

private:
    TEvent FHolding;
    TEvent FLetGo;
    std::uint32_t FThreadId = 0;
    std::thread FThread;
};

// Narrows the calling thread to one processor for a test and restores its mask afterwards.
class TSingleProcessorGuard {
public:
    TSingleProcessorGuard()
    {
        FOk = sched_getaffinity(0, sizeof(FSaved), &FSaved) == 0;
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &FSaved)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        FOk = FOk && sched_setaffinity(0, sizeof(one), &one) == 0;
    }
    ~TSingleProcessorGuard() { sched_setaffinity(0, sizeof(FSaved), &FSaved); }
    bool Ok() const { return FOk; }

private:
    cpu_set_t FSaved{};
    bool FOk = false;
};

} // namespace

// A holder that took the lock twice must give it back twice before another thread gets it.
TEST(SpinLock, ReentryNeedsAReleasePerAcquire)
{
    TInspectableSpinLock lock(0, 0);
    lock.Acquire();
    lock.Acquire();
    EXPECT_EQ(lock.Count(), 2);
    EXPECT_EQ(lock.OwnerID(), CurrentThreadId());

    lock.Release();
    EXPECT_FALSE(OnOtherThread([&] { return lock.Acquire(5); }));
    EXPECT_EQ(lock.Count(), 1);

    lock.Release();
    EXPECT_EQ(lock.OwnerID(), 0u);
    EXPECT_TRUE(OnOtherThread([&] {
        const bool taken = lock.Acquire(5);
        lock.Release();
        return taken;
    }));
    EXPECT_EQ(lock.Count(), 0);
}

// A thread that does not hold the lock cannot release it, not even partly.
TEST(SpinLock, ReleaseByAnotherThreadChangesNothing)
{
    TInspectableSpinLock lock(0, 100);
    THolder holder(lock, 2);
    lock.Release();
    OnOtherThread([&] {
        lock.Release();
        return 0;
    });
    EXPECT_EQ(lock.OwnerID(), holder.ThreadId());
    EXPECT_EQ(lock.Count(), 2);

    TInspectableSpinLock free(0, 0);
    free.Release();
    EXPECT_EQ(free.OwnerID(), 0u);
    EXPECT_EQ(free.Count(), 0);
}

// The bounded Acquire gives up on a lock held elsewhere, with a try count of 0 as of 1, in
// either phase; a free or own lock is taken at once.
TEST(SpinLock, BoundedAcquireGivesUpOnAHeldLock)
{
    for (const std::uint32_t noSleepCount : {0u, 3u, 100u}) {
        TInspectableSpinLock lock(0, noSleepCount);
        {
            THolder holder(lock);
            for (const std::uint32_t tryCount : {0u, 1u, 2u, 50u})
                EXPECT_FALSE(lock.Acquire(tryCount)) << noSleepCount << " " << tryCount;
            EXPECT_EQ(lock.Count(), 1);
            EXPECT_EQ(lock.OwnerID(), holder.ThreadId());
        }
        EXPECT_TRUE(lock.Acquire(0));
        EXPECT_TRUE(lock.Acquire(0));
        EXPECT_EQ(lock.Count(), 2);
        lock.Release();
        lock.Release();
        EXPECT_EQ(lock.OwnerID(), 0u);
    }
}

// A waiter in Acquire gets the lock once the holder lets go.
TEST(SpinLock, WaiterGetsTheLockWhenTheHolderLetsGo)
{
    TInspectableSpinLock lock(1, 10);
    THolder holder(lock);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.Acquire();
        acquired = true;
        lock.Release();
    });
    EXPECT_FALSE(acquired.load());
    holder.LetGo();
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(lock.OwnerID(), 0u);
}

// Threads that contend for the lock never overlap inside it, spinning or not.
TEST(SpinLock, ExcludesContendingThreads)
{
    for (const std::uint32_t noSleepCount : {0u, 1000u}) {
        TSpinLock lock(0, noSleepCount);
        long counter = 0;
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 20000; ++i) {
                    std::lock_guard<TSpinLock> guard(lock);
                    if (inside.fetch_add(1) != 0)
                        overlapped = true;
                    ++counter;
                    inside.fetch_sub(1);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(counter, 80000) << noSleepCount;
        EXPECT_FALSE(overlapped.load()) << noSleepCount;
    }
}

// Spinning is kept only where the process may run on two or more processors.
TEST(SpinLock, NoSpinningOnOneProcessor)
{
    if (AllowedProcessorCount() >= 2) {
        EXPECT_EQ(TInspectableSpinLock(0, 100).NoSleepCount(), 100u);
    }

    TSingleProcessorGuard single;
    ASSERT_TRUE(single.Ok());
    EXPECT_EQ(AllowedProcessorCount(), 1);
    EXPECT_EQ(TInspectableSpinLock(0, 100).NoSleepCount(), 0u);
}
