#pragma once
#include <QString>
#include <QStringList>
#include <cstddef>

// Call stacks as raw return addresses, rendered to one text line per frame (function, and file
// and line where debug information has them) only when somebody shows them.
struct TRawStack {
    static constexpr std::size_t MaxFrames = 128;
    const void* Frames[MaxFrames];
    std::size_t Count;
};

// From the first call on, every exception raised by any thread records the raising thread's
// stack, so that a handler can show where its exception came from. Tracking stays on until the
// process ends; before it is switched on, raising costs one flag test more than usual.
void StartExceptionTracking();
bool ExceptionTrackingActive();

// The stack of the exception most recently raised by the calling thread, while tracking is on.
// Catching, rethrowing with "throw;" or std::rethrow_exception keep it; the next raise replaces it.
bool HasLastExceptionStack();
TRawStack LastExceptionRawStack();
QStringList LastExceptionStack();
void ClearLastExceptionStack();

// The calling thread's stack at this moment, starting with the caller of these functions.
TRawStack CaptureCurrentStack();
QStringList CurrentThreadStack();

QStringList RenderStack(const TRawStack& stack);
QString RenderFrame(const void* returnAddress);
