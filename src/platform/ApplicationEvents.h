#pragma once
#include "platform/Exceptions.h"
#include <QObject>
#include <QEvent>
#include <functional>

// Application-wide notifications: an exception escaped a main-thread event handler, or a user
// command is about to run. The exception capture subscribes to them; the application class and
// the command layer of the windows raise them.
namespace ApplicationEvents {

// A handler may take the exception over by setting the pointer to null; later handlers then
// do not see it.
using TExceptionHandler = std::function<void(QObject* sender, const Exception*& error)>;
using TActionHandler = std::function<void(const QString& actionName)>;

int Subscribe(TExceptionHandler onException, TActionHandler onAction);
void Unsubscribe(int subscription);
bool HasSubscribers();

// Hands the exception to every subscriber; without subscribers it goes to standard error.
void NotifyException(QObject* sender, std::exception_ptr error);
void NotifyActionExecute(const QString& actionName);

} // namespace ApplicationEvents

// An application class whose event delivery catches what escapes a handler and reports it, so
// the message loop goes on. Instantiated over QCoreApplication here and QApplication in the
// windows.
template <class TBase>
class TNotifyingApplication : public TBase {
public:
    TNotifyingApplication(int& argc, char** argv) : TBase(argc, argv)
    {
        // The application is the nameless owner at the root of every component path.
        this->setObjectName(QString());
    }

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return TBase::notify(receiver, event);
        } catch (...) {
            ApplicationEvents::NotifyException(receiver, std::current_exception());
            return false;
        }
    }
};
