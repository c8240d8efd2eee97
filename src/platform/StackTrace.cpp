#include "platform/StackTrace.h"
#include <boost/stacktrace/frame.hpp>
#include <boost/stacktrace/safe_dump_to.hpp>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <typeinfo>

namespace {

using TCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

std::atomic<bool> TrackingActive{false};

// Plain data without constructor or destructor, so a raise on any thread reaches it without
// initialisation code and without allocating (the exception may be std::bad_alloc).
struct TThreadRecord {
    TRawStack Stack;
    bool Recorded;
};
thread_local TThreadRecord LastRaised;

// The definition that ours hides: the runtime's, or a sanitizer's that forwards to the runtime.
TCxaThrow NextCxaThrow()
{
    static std::atomic<TCxaThrow> next{nullptr};
    TCxaThrow found = next.load(std::memory_order_acquire);
    if (!found) {
        found = reinterpret_cast<TCxaThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
        if (!found) {
            std::fputs("__cxa_throw of the C++ runtime not found\n", stderr);
            std::abort();
        }
        next.store(found, std::memory_order_release);
    }
    return found;
}

// Looked up during start-up, because dlsym may allocate and the first raise may be for lack of memory.
[[maybe_unused]] const TCxaThrow NextCxaThrowAtStart = NextCxaThrow();

// Inlined, so that the frames to skip are the same wherever it is used.
[[gnu::always_inline]] inline std::size_t DumpFrames(std::size_t skip, TRawStack& stack) noexcept
{
    // The dump ends with a null frame that the count includes.
    const std::size_t stored = boost::stacktrace::safe_dump_to(skip, stack.Frames, sizeof stack.Frames);
    return stored > 0 ? stored - 1 : 0;
}

} // namespace

// Every raise of a C++ exception passes here, also those inside the standard library and Qt,
// which call it through the dynamic linker, so the stack is taken where the exception begins.
// The compiler declares the runtime's function with its own signature, so ours gets that symbol
// under a name of its own.
extern "C" [[noreturn]] void InterposedCxaThrow(void* thrown, std::type_info* type, void (*destructor)(void*)) __asm__("__cxa_throw");

extern "C" void InterposedCxaThrow(void* thrown, std::type_info* type, void (*destructor)(void*))
{
    if (TrackingActive.load(std::memory_order_relaxed)) {
        // Skipping one frame leaves this function out: the stack starts at the raising code.
        LastRaised.Stack.Count = DumpFrames(1, LastRaised.Stack);
        LastRaised.Recorded = true;
    }
    NextCxaThrow()(thrown, type, destructor);
    std::abort();
}

void StartExceptionTracking() { TrackingActive.store(true); }

bool ExceptionTrackingActive() { return TrackingActive.load(); }

bool HasLastExceptionStack() { return LastRaised.Recorded; }

TRawStack LastExceptionRawStack()
{
    if (!LastRaised.Recorded)
        return TRawStack{{}, 0};
    return LastRaised.Stack;
}

QStringList LastExceptionStack() { return RenderStack(LastExceptionRawStack()); }

void ClearLastExceptionStack()
{
    LastRaised.Recorded = false;
    LastRaised.Stack.Count = 0;
}

[[gnu::noinline]] TRawStack CaptureCurrentStack()
{
    TRawStack stack;
    stack.Count = DumpFrames(1, stack);
    return stack;
}

[[gnu::noinline]] QStringList CurrentThreadStack()
{
    TRawStack stack = CaptureCurrentStack();
    // The first frame is this function; the caller asked for its own stack.
    QStringList lines = RenderStack(stack);
    if (!lines.isEmpty())
        lines.removeFirst();
    return lines;
}

QStringList RenderStack(const TRawStack& stack)
{
    QStringList lines;
    const std::size_t count = std::min(stack.Count, TRawStack::MaxFrames);
    lines.reserve(static_cast<qsizetype>(count));
    for (std::size_t i = 0; i < count; ++i)
        lines.append(RenderFrame(stack.Frames[i]));
    return lines;
}

QString RenderFrame(const void* returnAddress)
{
    if (!returnAddress)
        return QString();
    // A return address points behind the call; one byte back is the call, whose line is wanted.
    const boost::stacktrace::frame callSite(static_cast<const char*>(returnAddress) - 1);
    return QString::fromStdString(boost::stacktrace::to_string(callSite));
}
