#pragma once
#include "platform/Exceptions.h"
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

// Writes every exception that escapes a main-thread event handler to a log file, and optionally
// to the memos of one index, instead of showing it to the user. It also remembers the last user
// command run, so the line tells what the user was doing.
class TAutoExceptionErrorLog : public QObject {
    Q_OBJECT
public:
    using TUnHandledExceptionEvent = std::function<void(QObject* Sender, const Exception* E)>;
    // Setting E to null takes the exception over: nothing is logged and nobody else sees it.
    using THandleExceptionEvent = std::function<void(QObject* Sender, const Exception*& E)>;

    explicit TAutoExceptionErrorLog(QObject* owner = nullptr);
    ~TAutoExceptionErrorLog() override;

    // Called once the owner has set the properties: a file name without folder goes beside the executable.
    virtual void Loaded();

    const QString& FileName() const noexcept { return FFileName; }
    void SetFileName(const QString& value) { FFileName = value; }
    const QString& TAText() const noexcept { return FTAText; }
    const TUnHandledExceptionEvent& OnUnHandledException() const noexcept { return FOnUnHandledException; }
    void SetOnUnHandledException(TUnHandledExceptionEvent value) { FOnUnHandledException = std::move(value); }
    bool RunTimeErrorEnabled() const noexcept { return FRunTimeErrorEnabled; }
    void SetRunTimeErrorEnabled(bool value) noexcept { FRunTimeErrorEnabled = value; }
    int RunTimeErrorCode() const noexcept { return FRunTimeErrorCode; }
    void SetRunTimeErrorCode(int value) noexcept { FRunTimeErrorCode = value; }
    // Null once that object is gone.
    QObject* LastObjectOfException() const noexcept { return FLastObjectOfException.data(); }
    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value) noexcept { FEnabled = value; }
    bool LogToMemo() const noexcept { return FLogToMemo; }
    void SetLogToMemo(bool value) noexcept { FLogToMemo = value; }
    int LogMemoIndex() const noexcept { return FLogMemoIndex; }
    void SetLogMemoIndex(int value) noexcept { FLogMemoIndex = value; }
    const THandleExceptionEvent& HandleException() const noexcept { return FHandleException; }
    void SetHandleException(THandleExceptionEvent value) { FHandleException = std::move(value); }
    const QString& LastExceptionMessage() const noexcept { return FLastExceptionMessage; }

    // The notification handlers; the application's events call them on the main thread.
    void ProcOnException(QObject* Sender, const Exception*& E);
    void ProcOnActionExecute(const QString& ActionName);

    // One error line: with a source, the last command and the source's class and owner path.
    void WriteToErrorFile(QObject* Source, const QString& Text);
    // The owner names from the root down, dot-separated: ".Main.Button1" under the nameless application.
    static QString GetObjectPath(QObject* Source);

protected:
    virtual void DoOnException();
    virtual void DoOnRaiseRunTimeError();

private:
    void HandleEnabled(const Exception*& E);
    // Runs a step of the exception handling; what it raises is logged instead of escaping into
    // the event loop, which would end the program.
    void Guarded(const std::function<void()>& step);

    int FSubscription = 0;
    QString FFileName;
    QString FTAText;
    TUnHandledExceptionEvent FOnUnHandledException;
    bool FRunTimeErrorEnabled = false;
    int FRunTimeErrorCode = 0;
    QPointer<QObject> FLastObjectOfException;
    bool FEnabled = true;
    bool FLogToMemo = false;
    int FLogMemoIndex = 0;
    THandleExceptionEvent FHandleException;
    QString FLastExceptionMessage;
};
