#include "LogTestSupport.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <set>
#include <thread>
#include <vector>

using TestSupport::ReadFileBytes;
using TestSupport::WriteFileBytes;

namespace {

// Makes the current folder another one for the lifetime of the object.
class TCurrentDirScope {
public:
    explicit TCurrentDirScope(const QString& dir) : FPrevious(QDir::currentPath()) { QDir::setCurrent(dir); }
    ~TCurrentDirScope() { QDir::setCurrent(FPrevious); }

private:
    QString FPrevious;
};

} // namespace

// A line written to a missing default log file creates it and reads date-time, TAB, text, CR LF;
// a second line is appended.
TEST_F(LogSystemTest, WritesTimeStampedLinesToTheDefaultFile)
{
    const QString before = FormatRegionalDateTimeNow();
    WriteToFile("abc");
    const QString after = FormatRegionalDateTimeNow();
    WriteToFile("second line");

    const QByteArray bytes = LogBytes();
    const QByteArray firstLine = bytes.left(bytes.indexOf("\r\n") + 2);
    EXPECT_TRUE(firstLine == (before + "\tabc\r\n").toUtf8() || firstLine == (after + "\tabc\r\n").toUtf8()) << firstLine.constData();
    EXPECT_EQ(FileLines(LogFile()).size(), 2);
    EXPECT_EQ(AfterTimeStamp(FileLines(LogFile()).at(1)), "second line");
    EXPECT_TRUE(bytes.endsWith("\tsecond line\r\n"));
}

// A relative file name is resolved against the current folder at the time of the call.
TEST_F(LogSystemTest, RelativeNameGoesIntoTheCurrentFolder)
{
    TestSupport::TTempDir other;
    {
        TCurrentDirScope cwd(other.Path());
        WriteToFile("relative", "versions.txt");
    }
    EXPECT_EQ(AfterTimeStamp(FileLines(other.File("versions.txt")).value(0)), "relative");
    EXPECT_FALSE(QFile::exists(LogFile()));
}

// The file gets the text in the ANSI code page, the memo the byte's hexadecimal value.
TEST_F(LogSystemTest, WriteToLogConvertsToTheAnsiCodePage)
{
    const QString previous = AnsiCodePage().Name();
    SetAnsiCodePage("windows-1250");
    TTestMemo memo(0);
    RegisterMemo(&memo);
    WriteToLog(QString::fromUtf8("ma\u0159i"), 0);
    UnregisterMemo(&memo);
    SetAnsiCodePage(previous);

    EXPECT_TRUE(LogBytes().endsWith("\tma\xF8i\r\n"));
    EXPECT_EQ(memo.Lines(), QStringList{"ma F8i"});
}

// Eight threads writing 500 lines each at once leave 4000 whole lines, each exactly once.
TEST_F(LogSystemTest, LinesOfManyThreadsNeverInterleave)
{
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 500;
    const QString padding(80, u'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i)
                WriteToFile(QString("T%1 L%2 %3").arg(t).arg(i).arg(padding));
        });
    for (std::thread& writer : writers)
        writer.join();

    const QRegularExpression wholeLine("^[^\\t]+\\tT(\\d) L(\\d+) x{80}$");
    std::set<std::pair<int, int>> seen;
    const QStringList lines = FileLines(LogFile());
    ASSERT_EQ(lines.size(), threadCount * linesPerThread);
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = wholeLine.match(line);
        ASSERT_TRUE(match.hasMatch()) << qPrintable(line);
        seen.insert({match.captured(1).toInt(), match.captured(2).toInt()});
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threadCount * linesPerThread));
}

// A file of exactly the maximum size is not rotated; one byte more and the next line goes into a
// fresh file while the old content becomes name.1.
TEST_F(LogSystemTest, RotatesOnlyAboveTheMaximumSize)
{
    SetLogFileRotation(true);
    SetMaxLogFileSize(100);
    WriteFileBytes(LogFile(), QByteArray(99, 'a') + "\n");

    WriteToFile("at the limit");
    EXPECT_FALSE(QFile::exists(LogFile() + ".1"));
    const QByteArray grown = LogBytes();
    ASSERT_GT(grown.size(), 100);
    EXPECT_TRUE(grown.startsWith(QByteArray(99, 'a') + "\n"));

    WriteToFile("after the limit");
    EXPECT_EQ(ReadFileBytes(LogFile() + ".1"), grown);
    const QStringList fresh = FileLines(LogFile());
    ASSERT_EQ(fresh.size(), 1);
    EXPECT_EQ(AfterTimeStamp(fresh.at(0)), "after the limit");
}

// With the whole set present, every file moves one number up, the oldest is replaced and the set
// keeps its nine files; a missing numbered file is skipped.
TEST_F(LogSystemTest, RotationKeepsTheSetAtLogFileCount)
{
    SetLogFileRotation(true);
    SetMaxLogFileSize(10);
    WriteFileBytes(LogFile(), "live file content\r\n");
    for (int k = 1; k <= 8; ++k)
        WriteFileBytes(LogFile() + "." + QString::number(k), "old " + QByteArray::number(k));

    WriteToFile("new");
    EXPECT_EQ(ReadFileBytes(LogFile() + ".1"), "live file content\r\n");
    for (int k = 2; k <= 8; ++k)
        EXPECT_EQ(ReadFileBytes(LogFile() + "." + QString::number(k)), "old " + QByteArray::number(k - 1)) << k;
    EXPECT_FALSE(QFile::exists(LogFile() + ".9"));
    EXPECT_EQ(QDir(FDir.Path()).entryList(QDir::Files).size(), 9);

    SetLogFileCount(4);
    QFile::remove(LogFile() + ".1");
    WriteFileBytes(LogFile(), "live again, larger than ten\r\n");
    WriteToFile("newer");
    EXPECT_EQ(ReadFileBytes(LogFile() + ".1"), "live again, larger than ten\r\n");
    EXPECT_FALSE(QFile::exists(LogFile() + ".2"));
    EXPECT_EQ(ReadFileBytes(LogFile() + ".3"), "old 1");
}

// Files that cannot be written lose their line silently, and logging goes on for the others.
TEST_F(LogSystemTest, UnwritableFilesLoseTheLineSilently)
{
    WriteFileBytes(FDir.File("plain"), "a file, not a folder");
    QDir(FDir.Path()).mkdir("folder");
    const QString unwritable[] = {
        FDir.File("plain/x.log"),          // a file where the folder should be
        FDir.File("folder"),               // a folder where the file should be
        FDir.File("missing/folder/x.log"), // a folder that does not exist
    };
    for (const QString& name : unwritable) {
        EXPECT_NO_THROW(WriteToFile("lost", name)) << qPrintable(name);
        EXPECT_NO_THROW(WriteToLog("kept", 0));
    }
    EXPECT_EQ(ReadFileBytes(FDir.File("plain")), "a file, not a folder");
    EXPECT_FALSE(QFile::exists(FDir.File("missing")));
    EXPECT_EQ(FileLines(LogFile()).size(), 3);
}

// Before start-up and after shut-down the entry points do nothing and do not fail.
TEST(LogSystem, CallsOutsideTheRunningSystemHaveNoEffect)
{
    TestSupport::TTempDir dir;
    TTestMemo memo(0);
    auto tryEverything = [&] {
        RegisterMemo(&memo);
        WriteToFile("lost", dir.File("x.log"));
        WriteToMemo(QByteArray("lost"), 0);
        WriteToLog("lost", 0);
        int count = -5;
        EXPECT_EQ(GetLastMemoIndex(0, count), -1);
        EXPECT_EQ(count, 0);
        UnregisterMemo(&memo);
    };
    ASSERT_FALSE(LogSystemRunning());
    tryEverything();
    {
        TLogSystemScope scope;
        EXPECT_EQ(DefaultFileName(), ExecutablePath() + ".log");
    }
    EXPECT_TRUE(DefaultFileName().isEmpty());
    tryEverything();
    EXPECT_FALSE(QFile::exists(dir.File("x.log")));
    EXPECT_TRUE(memo.Lines().isEmpty());
}
