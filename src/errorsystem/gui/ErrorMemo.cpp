#include "errorsystem/gui/ErrorMemo.h"
#include "common/kxtools.h"
#include "platform/DateTime.h"
#include <QCoreApplication>
#include <QEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <algorithm>

namespace {

// A full memo drops its oldest lines only once it holds this many beyond MaxLines, so trimming
// happens on one addition in so many, not on every one.
constexpr int TrimSlack = 300;

} // namespace

// ---- TMemoThread ----

TMemoThread::TMemoThread(TErrorMemo* AMemo) : FMemo(AMemo) { Start(); }

TMemoThread::~TMemoThread()
{
    // The owner has asked for termination already, so the woken thread ends instead of sleeping again.
    TErrorMemo* memo = FMemo.exchange(nullptr);
    FEvent.SetEvent();
    // The thread may be waiting for the main thread to add its last line. Serving every pending
    // event here would run arbitrary handlers inside a window's destruction, so only that hand-over
    // is withdrawn: a withdrawn blocking call releases its caller, and the line goes with the memo.
    while (!Finished()) {
        if (memo)
            QCoreApplication::removePostedEvents(memo, QEvent::MetaCall);
        SleepMs(1);
    }
}

void TMemoThread::AddLine(const QString& Atext)
{
    {
        std::lock_guard lock(FSO);
        FLines.push_back(Atext);
    }
    FEvent.SetEvent();
}

bool TMemoThread::TakeLine(QString& line)
{
    std::lock_guard lock(FSO);
    if (FLines.empty()) {
        // Reset under the lock: a line queued after this signals again, so none is left behind.
        FEvent.ResetEvent();
        return false;
    }
    line = std::move(FLines.front());
    FLines.pop_front();
    return true;
}

void TMemoThread::Execute()
{
    // The memo is still being built when this runs, so the index is the one it starts with.
    TErrorMemo* memo = FMemo.load();
    SetThreadName(QStringLiteral("TMemoThread:")
                  + (memo ? QStringLiteral("MemoIndex:") + QString::number(memo->MemoIndex()) : QStringLiteral("No Index")));
    while (!Terminated()) {
        FEvent.WaitFor(-1);
        if (Terminated())
            break;
        QString line;
        if (!TakeLine(line) || line.isEmpty())
            continue;
        if (TErrorMemo* target = FMemo.load())
            target->AddLine(line);
    }
}

// ---- TErrorMemo ----

TErrorMemo::TErrorMemo(QWidget* parent) : QPlainTextEdit(parent), FDateTimeFormat(QStringLiteral("dd.mm.yyyy h:nn:ss"))
{
    setObjectName(QStringLiteral("ErrorMemo"));
    setAccessibleName(QStringLiteral("ErrorMemo"));
    // A log is read, not edited: what is saved is what was logged. Undo would keep every line ever added.
    setReadOnly(true);
    setUndoRedoEnabled(false);
    clear();
    FMT = std::make_unique<TMemoThread>(this);
}

TErrorMemo::~TErrorMemo()
{
    FDestroying.store(true);
    // Termination is asked for before the thread is woken, or it would reset its event and sleep on.
    FMT->Terminate();
    UnregisterMemo(this);
    FMT.reset();
}

void TErrorMemo::Loaded() { RegisterMemo(this); }

void TErrorMemo::AddLine(const QString& Atext)
{
    if (FDestroying.load())
        return;
    if (QThread::currentThread() == thread()) {
        AddLineOnMainThread(Atext);
        return;
    }
    // The caller waits until the main thread has added the line. Should the memo go away first,
    // Qt drops the call with it and releases the caller.
    QMetaObject::invokeMethod(
        this, [this, &Atext] { AddLineOnMainThread(Atext); }, Qt::BlockingQueuedConnection);
}

void TErrorMemo::AddLineOnMainThread(const QString& Atext)
{
    // A memo switched off by its owner shows nothing; one being destroyed must not be touched.
    if (FDestroying.load() || testAttribute(Qt::WA_ForceDisabled))
        return;
    QString line = FormatDateTime(FDateTimeFormat, Now()) + u'\t';
    if (FPrintThreadId.load())
        line += QString::number(CurrentThreadId()) + u'\t';
    line += Atext;
    TrimAndAppend(line);
}

void TErrorMemo::TrimAndAppend(const QString& line)
{
    const int count = LineCount();
    if (count - TrimSlack > FMaxLines) {
        const int keep = std::max(FMaxLines, 0);
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::Start);
        if (keep == 0)
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        else
            cursor.setPosition(document()->findBlockByNumber(count - keep).position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    appendPlainText(line);
}

int TErrorMemo::LineCount() const { return document()->isEmpty() ? 0 : document()->blockCount(); }

QStringList TErrorMemo::Lines() const
{
    QStringList lines;
    if (document()->isEmpty())
        return lines;
    lines.reserve(document()->blockCount());
    for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}
