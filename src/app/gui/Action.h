#pragma once
#include <QAction>
#include <functional>
#include <vector>

class QTimer;

// A user command: caption, hint and category as the menus show them, and a handler. Running it
// first tells the exception capture which command runs; an exception escaping the handler is
// logged with the action as its source and goes no further.
class TAction : public QAction {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;

    TAction(QObject* owner, const QString& name, const QString& caption, const QString& category, const QString& hint = QString());

    const QString& Category() const noexcept { return FCategory; }
    TNotifyEvent OnExecute;

    // What a click, a menu item or a program does.
    void Execute();

private:
    QString FCategory;
};

// The commands of a window. OnUpdate sets their state (enabled, checked); it runs whenever the
// message loop has been idle for a moment and after every command, as often as a user could see
// a change.
class TActionList : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;

    explicit TActionList(QObject* owner, const QString& name);

    void Add(TAction* action);
    const std::vector<TAction*>& Actions() const noexcept { return FActions; }
    TNotifyEvent OnUpdate;
    void Update();

private:
    std::vector<TAction*> FActions;
    QTimer* FUpdateTimer;
};
