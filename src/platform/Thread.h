#pragma once
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

// The main thread is the one that ran the program's static initialisation.
bool IsMainThread();
std::thread::id MainThreadId();
// The kernel's id of the calling thread, as log lines print it.
std::uint32_t CurrentThreadId();

// Runs a function on the main thread and waits for it; an exception thrown there is raised again
// in the caller. On the main thread itself, or before an application object exists, the function
// runs at once.
void Synchronize(const std::function<void()>& function);

// Keeps the main thread's events flowing until the predicate holds, blocking in the event loop in
// between: whoever makes the predicate true must call WakeMainThread (a hand-over through
// Synchronize wakes it by itself).
void ProcessEventsUntil(const std::function<bool()>& done);
void WakeMainThread();

// A 32-bit millisecond tick count of the monotonic clock; it wraps after 49.7 days.
std::uint32_t GetTickCount();
// Processor time of the calling thread in milliseconds.
std::int64_t CurrentThreadCpuTimeMs();
void SleepMs(int milliseconds);
// Names the calling thread for debuggers and tools (the kernel keeps 15 bytes of it).
void SetCurrentThreadName(const QString& name);

// Scheduling priorities as nice values of the kernel (0, -5, -10, -20). Raising one needs the
// right to (root or CAP_SYS_NICE); without it the thread keeps its priority, silently.
enum class TThreadPriority { tpNormal, tpAboveNormal, tpHighest, tpTimeCritical };
TThreadPriority CurrentThreadPriority();
void SetCurrentThreadPriority(TThreadPriority priority);

enum class TWaitResult { wrSignaled, wrTimeout };

// An event with time-outs, auto-reset (one waiter released per signal) or manual-reset.
class TEvent {
public:
    explicit TEvent(bool manualReset = false, bool initialState = false);
    void SetEvent();
    void ResetEvent();
    // A negative time-out waits without limit.
    TWaitResult WaitFor(int timeoutMs);

private:
    std::mutex FMutex;
    std::condition_variable FCondition;
    bool FManualReset;
    bool FSignaled;
};

// The thread base: created suspended, Execute runs on the new thread once Start is called.
// Terminate only asks; Execute polls Terminated. A main thread that waits for a worker keeps
// serving the worker's hand-overs, so a worker may Synchronize while it is being waited for.
class TThread {
public:
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    void Terminate();
    bool Terminated() const noexcept { return FTerminated.load(); }
    bool Finished() const noexcept { return FFinished.load(); }
    bool Started() const noexcept { return FStarted; }
    // Waits until Execute has returned and gives ReturnValue.
    int WaitFor();
    std::uint32_t ThreadID() const noexcept { return FThreadID.load(); }
    int ReturnValue() const noexcept { return FReturnValue.load(); }
    void SetReturnValue(int value) noexcept { FReturnValue = value; }
    // A thread that frees itself deletes its object when Execute returns; nobody may wait for it.
    void SetFreeOnTerminate(bool value) noexcept { FFreeOnTerminate = value; }
    // The exception that escaped Execute, if any.
    std::exception_ptr FatalException() const { return FFatalException; }
    // Taken when the thread starts, or at once when it runs.
    void SetPriority(TThreadPriority priority);
    TThreadPriority Priority() const noexcept { return FPriority.load(); }
    // Processor time the thread has used, in ms: 0 before it starts, its total once it ended.
    std::int64_t CpuTimeMs() const;

protected:
    virtual void Execute() = 0;
    // Called on the thread after Execute, also when it raised.
    virtual void DoTerminate() {}
    // Called by Terminate, on the thread that asks, after Terminated has become true: a thread
    // that sleeps or waits can be woken here.
    virtual void TerminatedSet() {}

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<std::uint32_t> FThreadID{0};
    std::atomic<int> FReturnValue{0};
    std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
    std::atomic<std::int64_t> FFinalCpuTimeMs{0};
    bool FStarted = false;
    bool FFreeOnTerminate = false;
    std::exception_ptr FFatalException;
    mutable std::mutex FFinishMutex;
    std::condition_variable FFinishCondition;
};
