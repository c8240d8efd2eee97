#include "errorsystem/JCLAutoException.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/CodePage.h"
#include "platform/StackTrace.h"
#include <QStringList>
#include <mutex>

namespace {

// Keeps the lines of one file dump together with respect to other dumps.
std::mutex& DumpLock()
{
    static std::mutex lock;
    return lock;
}

// Only the frames that are written get rendered: rendering reads debug information.
QStringList LastStackLines(int itemCount)
{
    TRawStack stack = LastExceptionRawStack();
    if (itemCount >= 0 && static_cast<std::size_t>(itemCount) < stack.Count)
        stack.Count = static_cast<std::size_t>(itemCount);
    return RenderStack(stack);
}

const QString StackIndent = QStringLiteral("\t\t");

} // namespace

TJCLAutoExceptionErrorLog::TJCLAutoExceptionErrorLog(QObject* owner) : TAutoExceptionErrorLog(owner) {}

void TJCLAutoExceptionErrorLog::Loaded()
{
    TAutoExceptionErrorLog::Loaded();
    PrepareJCLToReady();
}

void TJCLAutoExceptionErrorLog::DoOnException()
{
    TAutoExceptionErrorLog::DoOnException();
    if (!LastObjectOfException())
        return;
    WriteJCLInfoToFile(FileName(), FStackListItemCount);
    if (LogToMemo())
        WriteJCLInfoToMemo(LogMemoIndex(), FStackListItemCount);
}

void PrepareJCLToReady()
{
    if (!ExceptionTrackingActive())
        StartExceptionTracking();
}

void WriteJCLInfoToFile(const QString& FileName, int ItemCount)
{
    if (!LogSystemRunning() || !HasLastExceptionStack())
        return;
    try {
        const QString fileName = FileName.isEmpty() ? DefaultFileName() : FileName;
        std::lock_guard lock(DumpLock());
        for (const QString& line : LastStackLines(ItemCount))
            WriteToFile(StackIndent + line, fileName);
    } catch (...) {
        // Like every log write: a dump that cannot be made is lost, the caller goes on.
    }
}

void WriteJCLInfoToMemo(int MemoIndex, int ItemCount)
{
    if (!LogSystemRunning() || !HasLastExceptionStack())
        return;
    try {
        for (const QString& line : LastStackLines(ItemCount))
            WriteToMemo(ToAnsi(QString(StackIndent + line)), MemoIndex);
    } catch (...) {
        // As above.
    }
}
