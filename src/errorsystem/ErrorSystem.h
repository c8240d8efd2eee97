#pragma once
#include <QByteArray>
#include <QString>

// The log entry points. Any thread may call them at any time; none of them ever raises. Before
// the log system starts and after it shuts down they do nothing, and the lines are lost.

// Appends the regional date and time, a TAB, Text and CR LF (in the ANSI code page) to FName, or
// to the default log file when FName is empty. A relative name is relative to the current
// folder. A line that cannot be written is dropped without notice.
void WriteToFile(const QString& Text, const QString& FName = QString());
// Shows the 8-bit text, rendered by HumanString, in every registered memo of that index.
void WriteToMemo(const QByteArray& Text, int MemoIndex);
// Converts to the ANSI code page, then as above.
void WriteToMemo(const QString& Text, int MemoIndex);
// The default log file and the memos of that index.
void WriteToLog(const QString& Text, int MemoIndex);

// The highest memo index registered, or -1 when there is none; ACount gets the number of memos
// registered under AIndex.
int GetLastMemoIndex(int AIndex, int& ACount);

// 8-bit text made printable: TAB and bytes 32 to 127 stay, a final LF is dropped, every other
// byte becomes a blank and two upper-case hexadecimal digits. decimal has no effect.
QString HumanString(const QByteArray& text, bool decimal = false);

// The executable's path with ".log"; set when the log system starts, empty after shut-down.
QString DefaultFileName();
void SetDefaultFileName(const QString& fileName);

// Size-based rotation: before a line is written, a file larger than MaxLogFileSize becomes
// name.1, name.1 becomes name.2 and so on up to name.(LogFileCount-1), which is replaced.
bool LogFileRotation();
void SetLogFileRotation(bool value);
int LogFileCount();
void SetLogFileCount(int value);
int MaxLogFileSize();
void SetMaxLogFileSize(int bytes);

void StartLogSystem();
void ShutdownLogSystem();
bool LogSystemRunning();

// Runs the log system for the lifetime of the object.
class TLogSystemScope {
public:
    TLogSystemScope() { StartLogSystem(); }
    ~TLogSystemScope() { ShutdownLogSystem(); }
    TLogSystemScope(const TLogSystemScope&) = delete;
    TLogSystemScope& operator=(const TLogSystemScope&) = delete;
};

// The memo a window shows. MemoIndex may be asked from any thread; AddLine is called from the
// thread that logs and must bring the line to the main thread itself.
class ILogMemo {
public:
    virtual ~ILogMemo() = default;
    virtual int MemoIndex() const = 0;
    virtual void AddLine(const QString& text) = 0;
};

// A memo registered while the log system runs receives WriteToMemo lines until it unregisters.
// UnregisterMemo returns only when no other thread is still delivering a line to the memo, so the
// memo may be destroyed right after it; on the main thread it serves hand-overs while it waits.
void RegisterMemo(ILogMemo* memo);
void UnregisterMemo(ILogMemo* memo);
