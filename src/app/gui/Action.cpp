#include "app/gui/Action.h"
#include "platform/ApplicationEvents.h"
#include <QTimer>

namespace {

constexpr int UpdateIntervalMs = 200;

} // namespace

TAction::TAction(QObject* owner, const QString& name, const QString& caption, const QString& category, const QString& hint)
    : QAction(caption, owner), FCategory(category)
{
    setObjectName(name);
    // The hint is what the status bar and a tool tip show.
    setStatusTip(hint);
    setToolTip(hint.isEmpty() ? caption : hint);
    connect(this, &QAction::triggered, this, [this] { Execute(); });
}

void TAction::Execute()
{
    ApplicationEvents::NotifyActionExecute(objectName());
    if (!OnExecute)
        return;
    // Caught here rather than in the application's event delivery, so the log names the
    // command and nothing unwinds through the menu's own code.
    try {
        OnExecute(this);
    } catch (...) {
        ApplicationEvents::NotifyException(this, std::current_exception());
    }
}

TActionList::TActionList(QObject* owner, const QString& name) : QObject(owner), FUpdateTimer(new QTimer(this))
{
    setObjectName(name);
    connect(FUpdateTimer, &QTimer::timeout, this, [this] { Update(); });
    FUpdateTimer->start(UpdateIntervalMs);
}

void TActionList::Add(TAction* action)
{
    FActions.push_back(action);
    connect(action, &QAction::triggered, this, [this] { Update(); });
}

void TActionList::Update()
{
    if (!OnUpdate)
        return;
    try {
        OnUpdate(this);
    } catch (...) {
        ApplicationEvents::NotifyException(this, std::current_exception());
    }
}
