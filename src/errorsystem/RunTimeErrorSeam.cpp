#include "errorsystem/RunTimeErrorSeam.h"
#include "platform/Exceptions.h"
#include <mutex>

namespace {

std::mutex& HandlerLock()
{
    static std::mutex lock;
    return lock;
}

TRunTimeErrorHandler& Handler()
{
    static TRunTimeErrorHandler handler;
    return handler;
}

TRunTimeErrorHandler CurrentHandler()
{
    std::lock_guard lock(HandlerLock());
    return Handler();
}

} // namespace

void SetRunTimeErrorHandler(TRunTimeErrorHandler handler)
{
    std::lock_guard lock(HandlerLock());
    Handler() = std::move(handler);
}

int DoRunTimeError(int code, const QString& text)
{
    const TRunTimeErrorHandler handler = CurrentHandler();
    if (!handler)
        throw Exception(QStringLiteral("ErrorSystem internal: Destination was not found."));
    return handler(code, text);
}
