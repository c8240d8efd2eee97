#include "platform/Thread.h"
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const std::thread::id StaticInitThread = std::this_thread::get_id();

bool OnApplicationThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app ? app->thread() == QThread::currentThread() : IsMainThread();
}

} // namespace

bool IsMainThread() { return std::this_thread::get_id() == StaticInitThread; }

std::thread::id MainThreadId() { return StaticInitThread; }

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

void Synchronize(const std::function<void()>& function)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || OnApplicationThread()) {
        function();
        return;
    }
    std::exception_ptr error;
    // Qt's blocking hand-over orders the two threads already; this handshake states that order in
    // atomics too, so that the thread sanitizer sees it through Qt's uninstrumented waits.
    std::atomic<int> handshake{0};
    handshake.store(1, std::memory_order_release);
    QMetaObject::invokeMethod(
        app,
        [&] {
            (void)handshake.load(std::memory_order_acquire);
            try {
                function();
            } catch (...) {
                error = std::current_exception();
            }
            handshake.store(2, std::memory_order_release);
        },
        Qt::BlockingQueuedConnection);
    (void)handshake.load(std::memory_order_acquire);
    if (error)
        std::rethrow_exception(error);
}

void WakeMainThread()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(app->thread()))
            dispatcher->wakeUp();
}

void ProcessEventsUntil(const std::function<bool()>& done)
{
    const bool serveEvents = QCoreApplication::instance() && OnApplicationThread();
    while (!done()) {
        if (!serveEvents) {
            SleepMs(1);
            continue;
        }
        // A wait inside the delivery of a posted event (a hand-over, say) is not woken by the glib
        // dispatcher for the events already queued behind that one, so they are sent first.
        QCoreApplication::sendPostedEvents();
        if (!done())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

std::uint32_t GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u);
}

std::int64_t CurrentThreadCpuTimeMs()
{
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0)
        return 0;
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

void SleepMs(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    else
        std::this_thread::yield();
}

void SetCurrentThreadName(const QString& name)
{
    QByteArray bytes = name.toUtf8();
    // The kernel keeps 15 bytes; a cut must not split a UTF-8 sequence.
    qsizetype length = std::min<qsizetype>(bytes.size(), 15);
    while (length > 0 && length < bytes.size() && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80)
        --length;
    bytes.truncate(length);
    pthread_setname_np(pthread_self(), bytes.constData());
}

namespace {

int NiceOf(TThreadPriority priority)
{
    switch (priority) {
    case TThreadPriority::tpAboveNormal:
        return -5;
    case TThreadPriority::tpHighest:
        return -10;
    case TThreadPriority::tpTimeCritical:
        return -20;
    case TThreadPriority::tpNormal:
        break;
    }
    return 0;
}

void SetThreadNice(std::uint32_t threadId, TThreadPriority priority)
{
    // Linux gives each thread its own nice value, addressed by its kernel id.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), NiceOf(priority));
}

std::int64_t CpuClockMs(clockid_t clock)
{
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0)
        return 0;
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

} // namespace

TThreadPriority CurrentThreadPriority()
{
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()));
    if (errno != 0 || nice > -5)
        return TThreadPriority::tpNormal;
    if (nice > -10)
        return TThreadPriority::tpAboveNormal;
    return nice > -20 ? TThreadPriority::tpHighest : TThreadPriority::tpTimeCritical;
}

void SetCurrentThreadPriority(TThreadPriority priority) { SetThreadNice(CurrentThreadId(), priority); }

TEvent::TEvent(bool manualReset, bool initialState) : FManualReset(manualReset), FSignaled(initialState) {}

void TEvent::SetEvent()
{
    {
        std::lock_guard lock(FMutex);
        FSignaled = true;
    }
    if (FManualReset)
        FCondition.notify_all();
    else
        FCondition.notify_one();
}

void TEvent::ResetEvent()
{
    std::lock_guard lock(FMutex);
    FSignaled = false;
}

TWaitResult TEvent::WaitFor(int timeoutMs)
{
    std::unique_lock lock(FMutex);
    auto signaled = [this] { return FSignaled; };
    if (timeoutMs < 0)
        FCondition.wait(lock, signaled);
    else if (!FCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs), signaled))
        return TWaitResult::wrTimeout;
    if (!FManualReset)
        FSignaled = false;
    return TWaitResult::wrSignaled;
}

TThread::TThread() = default;

TThread::~TThread()
{
    if (FStarted && !FFinished) {
        Terminate();
        WaitFor();
    }
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id())
            FThread.detach();
        else
            FThread.join();
    }
}

void TThread::Start()
{
    std::lock_guard lock(FFinishMutex);
    if (FStarted)
        return;
    FStarted = true;
    FThread = std::thread([this] { Run(); });
}

void TThread::Terminate()
{
    FTerminated = true;
    TerminatedSet();
}

void TThread::SetPriority(TThreadPriority priority)
{
    FPriority = priority;
    std::lock_guard lock(FFinishMutex);
    if (FThreadID != 0 && !FFinished)
        SetThreadNice(FThreadID, priority);
}

std::int64_t TThread::CpuTimeMs() const
{
    std::lock_guard lock(FFinishMutex);
    if (!FStarted || FThreadID == 0)
        return 0;
    if (FFinished)
        return FFinalCpuTimeMs;
    // The thread is not joined before it has finished, so its handle is still valid here.
    clockid_t clock{};
    if (pthread_getcpuclockid(const_cast<std::thread&>(FThread).native_handle(), &clock) != 0)
        return 0;
    return CpuClockMs(clock);
}

void TThread::Run()
{
    {
        // Start still holds the lock until FThread is set, which a self-freeing thread detaches.
        std::lock_guard lock(FFinishMutex);
        FThreadID = CurrentThreadId();
        if (FPriority != TThreadPriority::tpNormal)
            SetThreadNice(FThreadID, FPriority);
    }
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
    }
    try {
        DoTerminate();
    } catch (...) {
        if (!FFatalException)
            FFatalException = std::current_exception();
    }
    const bool freeOnTerminate = FFreeOnTerminate;
    {
        std::lock_guard lock(FFinishMutex);
        FFinalCpuTimeMs = CurrentThreadCpuTimeMs();
        FFinished = true;
    }
    FFinishCondition.notify_all();
    WakeMainThread();
    if (freeOnTerminate) {
        FThread.detach();
        delete this;
    }
}

int TThread::WaitFor()
{
    if (!FStarted || FThread.get_id() == std::this_thread::get_id())
        return FReturnValue;
    if (QCoreApplication::instance() && OnApplicationThread()) {
        ProcessEventsUntil([this] { return FFinished.load(); });
    } else {
        std::unique_lock lock(FFinishMutex);
        FFinishCondition.wait(lock, [this] { return FFinished.load(); });
    }
    if (FThread.joinable())
        FThread.join();
    return FReturnValue;
}
