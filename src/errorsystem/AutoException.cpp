#include "errorsystem/AutoException.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "platform/ApplicationEvents.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"

TAutoExceptionErrorLog::TAutoExceptionErrorLog(QObject* owner) : QObject(owner), FFileName(DefaultFileName())
{
    FSubscription = ApplicationEvents::Subscribe(
        [this](QObject* sender, const Exception*& error) { ProcOnException(sender, error); },
        [this](const QString& actionName) { ProcOnActionExecute(actionName); });
}

TAutoExceptionErrorLog::~TAutoExceptionErrorLog() { ApplicationEvents::Unsubscribe(FSubscription); }

void TAutoExceptionErrorLog::Loaded()
{
    if (!FFileName.isEmpty() && ExtractFilePath(FFileName).isEmpty())
        FFileName = ExecutableDir() + u'/' + FFileName;
}

void TAutoExceptionErrorLog::ProcOnException(QObject* Sender, const Exception*& E)
{
    if (!E)
        return;
    FLastExceptionMessage = E->ClassName() + QStringLiteral("-> ") + E->Message();
    FLastObjectOfException = Sender;
    if (FEnabled) {
        HandleEnabled(E);
        if (!E)
            return;
    }
    if (FOnUnHandledException)
        Guarded([&] { FOnUnHandledException(Sender, E); });
}

void TAutoExceptionErrorLog::HandleEnabled(const Exception*& E)
{
    if (FHandleException) {
        Guarded([&] { FHandleException(this, E); });
        if (!E)
            return;
    }
    Guarded([this] { DoOnException(); });
    if (FRunTimeErrorEnabled)
        Guarded([this] { DoOnRaiseRunTimeError(); });
}

void TAutoExceptionErrorLog::Guarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (...) {
        try {
            const TExceptionInfo info = DescribeException(std::current_exception());
            WriteToErrorFile(nullptr, info.ClassName + QStringLiteral("-> ") + info.Message);
        } catch (...) {
            // Out of memory while reporting: the report is lost, the event loop goes on.
        }
    }
}

void TAutoExceptionErrorLog::ProcOnActionExecute(const QString& ActionName)
{
    if (!ActionName.isEmpty())
        FTAText = ActionName + QStringLiteral(" (") + FormatRegionalDateTimeNow() + u')';
}

void TAutoExceptionErrorLog::DoOnException() { WriteToErrorFile(LastObjectOfException(), FLastExceptionMessage); }

void TAutoExceptionErrorLog::DoOnRaiseRunTimeError() { DoRunTimeError(FRunTimeErrorCode, FLastExceptionMessage); }

void TAutoExceptionErrorLog::WriteToErrorFile(QObject* Source, const QString& Text)
{
    const QString quoted = u'"' + QString(Text).replace(QStringLiteral("\r\n"), QStringLiteral(" ")) + u'"';
    const QString line = Source ? QStringLiteral("Chyba:\tAkce(%1)\tPuvod(%2: %3)\t zneni: ")
                                          .arg(FTAText, QLatin1String(Source->metaObject()->className()), GetObjectPath(Source))
                                      + quoted
                                : QStringLiteral("Udalost:\t") + quoted;
    WriteToFile(line, FFileName);
    if (FLogToMemo)
        WriteToMemo(ToAnsi(line), FLogMemoIndex);
}

QString TAutoExceptionErrorLog::GetObjectPath(QObject* Source)
{
    if (!Source)
        return QString();
    QString path = Source->objectName();
    for (QObject* owner = Source->parent(); owner; owner = owner->parent())
        path = owner->objectName() + u'.' + path;
    return path;
}
