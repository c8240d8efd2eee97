#include "LogTestSupport.h"
#include "platform/Thread.h"

void TTestMemo::AddLine(const QString& text)
{
    Synchronize([&] {
        FAllOnMainThread = FAllOnMainThread && IsMainThread();
        FLines.append(text);
    });
}

LogSystemTest::LogSystemTest() : FScope(std::make_unique<TLogSystemScope>())
{
    SetDefaultFileName(LogFile());
    SetLogFileRotation(false);
    SetLogFileCount(9);
    SetMaxLogFileSize(4194304);
}

LogSystemTest::~LogSystemTest()
{
    FScope.reset();
    SetLogFileRotation(false);
}

QStringList LogSystemTest::FileLines(const QString& path)
{
    QStringList lines = QString::fromUtf8(TestSupport::ReadFileBytes(path)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString LogSystemTest::AfterTimeStamp(const QString& line)
{
    const qsizetype tab = line.indexOf(u'\t');
    return tab < 0 ? QString() : line.mid(tab + 1);
}
