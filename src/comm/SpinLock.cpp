#include "comm/SpinLock.h"
#include "platform/Thread.h"
#include <algorithm>
#include <cstdint>
#include <sched.h>

namespace {

// The kernel's thread id, asked once per thread: taking the lock must not cost a system call.
std::uint32_t CallingThreadId()
{
    thread_local const std::uint32_t id = CurrentThreadId();
    return id;
}

// Tells the processor that this is a spin-wait loop.
inline void PauseHint()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

} // namespace

int AllowedProcessorCount()
{
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof(mask), &mask) != 0)
        return 1;
    return CPU_COUNT(&mask);
}

TSpinLock::TSpinLock(std::uint32_t SleepAmount, std::uint32_t NoSleepCount) : FSleepAmount(SleepAmount)
{
    InitNoSleepCount(NoSleepCount);
    InitLockMap();
}

TSpinLock::~TSpinLock() { ReleaseLockMap(); }

void TSpinLock::InitLockMap() { FOwner = std::make_unique<TLockMap>(); }

void TSpinLock::InitNoSleepCount(std::uint32_t NoSleepCount)
{
    FNoSleepCount = AllowedProcessorCount() >= 2 ? NoSleepCount : 0;
}

void TSpinLock::ReleaseLockMap() { FOwner.reset(); }

bool TSpinLock::ReadsFree() const { return FOwner->OwnerID.load(std::memory_order_relaxed) == 0; }

bool TSpinLock::Exchange(std::uint32_t me)
{
    std::uint32_t expected = 0;
    return FOwner->OwnerID.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed);
}

bool TSpinLock::TakeAtOnce(std::uint32_t me)
{
    // Only this thread can have stored its own id, so a relaxed read tells re-entry reliably.
    return Exchange(me) || FOwner->OwnerID.load(std::memory_order_relaxed) == me;
}

void TSpinLock::WaitBetweenPolls() const
{
    if (FSleepAmount == 0)
        sched_yield();
    else
        SleepMs(static_cast<int>(std::min<std::uint32_t>(FSleepAmount, INT32_MAX)));
}

bool TSpinLock::WaitForLock(std::uint32_t me, bool limited, std::uint32_t attempts)
{
    const auto useAttempt = [&] {
        if (!limited)
            return true;
        if (attempts == 0)
            return false;
        --attempts;
        return true;
    };
    for (std::uint32_t spin = 0; spin < FNoSleepCount; ++spin) {
        if (!useAttempt())
            return false;
        PauseHint();
        if (!ReadsFree())
            continue;
        if (Exchange(me))
            return true;
        // Another waiter won the free lock and will hold it a while: stop spinning.
        break;
    }
    for (;;) {
        if (!useAttempt())
            return false;
        WaitBetweenPolls();
        PauseHint();
        if (ReadsFree() && Exchange(me))
            return true;
    }
}

void TSpinLock::Acquire()
{
    const std::uint32_t me = CallingThreadId();
    if (!TakeAtOnce(me))
        WaitForLock(me, false, 0);
    ++FOwner->Count;
}

bool TSpinLock::Acquire(std::uint32_t TryCount)
{
    const std::uint32_t me = CallingThreadId();
    if (!TakeAtOnce(me) && !WaitForLock(me, true, TryCount == 0 ? 1 : TryCount))
        return false;
    ++FOwner->Count;
    return true;
}

void TSpinLock::Release()
{
    if (FOwner->OwnerID.load(std::memory_order_relaxed) != CallingThreadId())
        return;
    if (--FOwner->Count == 0)
        FOwner->OwnerID.store(0, std::memory_order_release);
}
