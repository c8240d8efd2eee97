#include "platform/ApplicationEvents.h"
#include <cstdio>
#include <mutex>
#include <vector>

namespace ApplicationEvents {
namespace {

struct TSubscription {
    int Id;
    TExceptionHandler OnException;
    TActionHandler OnAction;
};

std::mutex& SubscriptionMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<TSubscription>& Subscriptions()
{
    static std::vector<TSubscription> list;
    return list;
}

std::vector<TSubscription> Snapshot()
{
    std::lock_guard lock(SubscriptionMutex());
    return Subscriptions();
}

} // namespace

int Subscribe(TExceptionHandler onException, TActionHandler onAction)
{
    static int lastId = 0;
    std::lock_guard lock(SubscriptionMutex());
    Subscriptions().push_back({++lastId, std::move(onException), std::move(onAction)});
    return lastId;
}

void Unsubscribe(int subscription)
{
    std::lock_guard lock(SubscriptionMutex());
    auto& list = Subscriptions();
    std::erase_if(list, [&](const TSubscription& s) { return s.Id == subscription; });
}

bool HasSubscribers()
{
    std::lock_guard lock(SubscriptionMutex());
    return !Subscriptions().empty();
}

namespace {

void Dispatch(QObject* sender, const Exception& error)
{
    const std::vector<TSubscription> subscribers = Snapshot();
    if (subscribers.empty())
        std::fprintf(stderr, "%s: %s\n", qPrintable(error.ClassName()), error.what());
    const Exception* current = &error;
    for (const TSubscription& s : subscribers) {
        if (s.OnException)
            s.OnException(sender, current);
        if (!current)
            break;
    }
}

} // namespace

void NotifyException(QObject* sender, std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        Dispatch(sender, e);
    } catch (...) {
        // A foreign exception is reported as one of ours; its recorded stack stays the last one
        // of this thread, because nothing is thrown anew.
        Dispatch(sender, *WrapException(std::current_exception()));
    }
}

void NotifyActionExecute(const QString& actionName)
{
    for (const TSubscription& s : Snapshot())
        if (s.OnAction)
            s.OnAction(actionName);
}

} // namespace ApplicationEvents
