#pragma once
#include "errorsystem/ErrorSystem.h"
#include "TestSupport.h"
#include "platform/Exceptions.h"
#include <QStringList>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

// A memo as the windows implement it: lines from other threads are handed to the main thread,
// which alone appends them.
class TTestMemo : public ILogMemo {
public:
    explicit TTestMemo(int memoIndex) : FMemoIndex(memoIndex) {}
    int MemoIndex() const override { return FMemoIndex; }
    void AddLine(const QString& text) override;

    // Read on the main thread only.
    const QStringList& Lines() const { return FLines; }
    bool AllAddedOnMainThread() const { return FAllOnMainThread; }

private:
    int FMemoIndex;
    QStringList FLines;
    bool FAllOnMainThread = true;
};

// Runs the log system with its default log file in a fresh folder and rotation at its defaults.
class LogSystemTest : public ::testing::Test {
protected:
    LogSystemTest();
    ~LogSystemTest() override;

    QString LogFile() const { return FDir.File("test.log"); }
    QByteArray LogBytes() const { return TestSupport::ReadFileBytes(LogFile()); }
    // The file's lines without their CR LF; the empty rest after the last CR LF is left out.
    static QStringList FileLines(const QString& path);
    // The text of a line after its time stamp and TAB.
    static QString AfterTimeStamp(const QString& line);

    TestSupport::TTempDir FDir;
    std::unique_ptr<TLogSystemScope> FScope;
};

// The message of the exception of ours that the call raises, or empty.
template <class F>
QString RaisedMessage(F call)
{
    try {
        call();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}
