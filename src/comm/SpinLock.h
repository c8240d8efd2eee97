#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

// The lock record of a spin lock: the holder's thread id (0 while free) and how many times the
// holder has taken it.
struct TLockMap {
    std::atomic<std::uint32_t> OwnerID{0};
    std::int32_t Count = 0;
};
static_assert(sizeof(TLockMap) == 8);
using PLockMap = TLockMap*;

// A small re-entrant lock for very short critical sections shared by a worker and the main
// thread. Taking a free lock costs one compare-and-exchange; a waiter first spins (only where the
// process may run on two or more processors, since spinning on one could only delay the holder)
// and then polls, sleeping SleepAmount ms between polls (0 yields the rest of its time slice).
// It never blocks in the kernel. lock and unlock make it usable with std::lock_guard.
class TSpinLock {
public:
    TSpinLock(std::uint32_t SleepAmount, std::uint32_t NoSleepCount);
    virtual ~TSpinLock();
    TSpinLock(const TSpinLock&) = delete;
    TSpinLock& operator=(const TSpinLock&) = delete;

    // Waits until the calling thread holds the lock; the holder may take it again.
    virtual void Acquire();
    // Gives one level back; the lock is free once every Acquire has been matched. A thread that
    // does not hold the lock changes nothing.
    virtual void Release();
    // Like Acquire, but gives up after TryCount waiting rounds (1 when TryCount is 0); a free or
    // already held lock is taken without using one. True when the lock was taken.
    virtual bool Acquire(std::uint32_t TryCount);

    void lock() { Acquire(); }
    void unlock() { Release(); }

protected:
    void InitLockMap();
    // NoSleepCount where the process may run on at least two processors, else 0.
    void InitNoSleepCount(std::uint32_t NoSleepCount);
    void ReleaseLockMap();

    std::uint32_t FNoSleepCount = 0;
    std::unique_ptr<TLockMap> FOwner;
    std::uint32_t FSleepAmount = 0;

private:
    bool ReadsFree() const;
    // One compare-and-exchange of a free owner for me.
    bool Exchange(std::uint32_t me);
    // Takes the lock when it is free or already ours, without waiting.
    bool TakeAtOnce(std::uint32_t me);
    // Spins, then polls, until the lock is taken or, when limited, the attempts are used up.
    bool WaitForLock(std::uint32_t me, bool limited, std::uint32_t attempts);
    void WaitBetweenPolls() const;
};

// The processors the calling thread may run on (its affinity mask, which threads it starts
// inherit); 1 when the mask cannot be read.
int AllowedProcessorCount();
