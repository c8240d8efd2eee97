// The windowless vocator left alone as a service is: signals at any moment end it through its
// shut-down, a standard output nobody reads does not kill it, its log files stay bounded, and a
// second instance on the same ini file refuses to start.
#include "VocatorProcess.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using TestSupport::TLine;
using TestSupport::TPlcWithVocator;
using TestSupport::TVocatorProcess;
using TestSupport::WaitUntil;

namespace {

const char* const PubText = "Message R B 10 STRING[64]\r\n";
const QByteArray PlainIni = "[common]\ntimer=200\nWelcomeMsg=Hello\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n";

// The mask of signals the process has a handler for, from /proc.
quint64 CaughtSignals(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16);
    return 0;
}

bool EndedThroughShutDown(TVocatorProcess& vocator)
{
    return vocator.Process().waitForFinished(30000) && vocator.Process().exitStatus() == QProcess::NormalExit &&
           vocator.Process().exitCode() == 0 && vocator.Log().contains("\t--== Exiting vocator application (");
}

enum class TMoment { StartUp, StalledDownload };

struct TSignalCase {
    int Signal;
    TMoment Moment;
};

class SignalAtAnyMoment : public ::testing::TestWithParam<TSignalCase> {};

} // namespace

// SIGTERM, SIGINT and SIGHUP, sent the moment the program can first catch them or while the PLC's
// web server holds the PUB file download, end it with the exit line and status 0.
TEST_P(SignalAtAnyMoment, EndsThroughTheShutDown)
{
    const TSignalCase c = GetParam();
    TPlcWithVocator plc(TLine::Udp, PubText);
    plc.StartSim();
    if (c.Moment == TMoment::StalledDownload) {
        ASSERT_EQ(plc.Sim->Command("http-delay 60000"), "ok");
    }
    plc.Vocator.WriteIni(plc.Ini("Hello", "Message"));
    ASSERT_TRUE(plc.Vocator.Start());
    const qint64 pid = plc.Vocator.Process().processId();
    if (c.Moment == TMoment::StartUp) {
        const quint64 bit = quint64{1} << (c.Signal - 1);
        ASSERT_TRUE(WaitUntil([&] { return (CaughtSignals(pid) & bit) != 0; }, 20000));
    } else {
        ASSERT_TRUE(WaitUntil([&] { return plc.Vocator.Log().contains("Downloading pub file var.pub ..."); }, 20000));
    }
    ::kill(static_cast<pid_t>(pid), c.Signal);
    EXPECT_TRUE(EndedThroughShutDown(plc.Vocator)) << plc.Vocator.Log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtAnyMoment,
                         ::testing::Values(TSignalCase{SIGTERM, TMoment::StartUp}, TSignalCase{SIGINT, TMoment::StartUp},
                                           TSignalCase{SIGHUP, TMoment::StartUp}, TSignalCase{SIGTERM, TMoment::StalledDownload},
                                           TSignalCase{SIGINT, TMoment::StalledDownload}, TSignalCase{SIGHUP, TMoment::StalledDownload}),
                         [](const ::testing::TestParamInfo<TSignalCase>& signalCase) {
                             const TSignalCase& c = signalCase.param;
                             const char* name = c.Signal == SIGTERM ? "Term" : c.Signal == SIGINT ? "Int" : "Hup";
                             return std::string(name) + (c.Moment == TMoment::StartUp ? "AtStartUp" : "DuringDownload");
                         });

// Standard output is a pipe whose reader is gone: the program runs on, speaks, says so once in its
// log file and ends normally.
TEST(UnattendedRun, ClosedStandardOutputCostsOneLogLine)
{
    TVocatorProcess vocator;
    vocator.WriteIni(PlainIni);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ::close(pipeEnds[0]);
    const int writeEnd = pipeEnds[1];
    vocator.Process().setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    const bool started = vocator.Start();
    ::close(writeEnd);
    ASSERT_TRUE(started);
    ASSERT_TRUE(vocator.WaitForSpoken(1));
    ASSERT_TRUE(WaitUntil([&] { return vocator.Log().contains("Standard output cannot be written"); }, 20000)) << vocator.Log().toStdString();
    TestSupport::ServeEventsFor(500);
    EXPECT_TRUE(vocator.Stop()) << vocator.Log().toStdString();
    EXPECT_EQ(vocator.Log().count("Standard output cannot be written"), 1) << vocator.Log().toStdString();
}

// Small limits in the ini and a PLC that refuses every connection, which the line logs into the
// default log file at each attempt: the set never grows beyond its three files, numbered .1 and
// .2, the oldest is replaced, and none is much larger than the limit.
TEST(UnattendedRun, LogFilesRotateBySize)
{
    constexpr qint64 Limit = 1024;
    TPlcWithVocator plc(TLine::Tcp, PubText);
    plc.ReserveAddress();
    QByteArray ini = plc.Ini("Hello", "Message");
    ini.replace("[common]\n", "[common]\nMaxLogFileSize=1024\nLogFileCount=3\n");
    plc.Vocator.WriteIni(ini);
    ASSERT_TRUE(plc.Vocator.Start());
    const QString log = plc.Vocator.Dir().File("vocator.log");
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(log + ".2"); }, 60000)) << plc.Vocator.Log().toStdString();
    const QByteArray oldest = TestSupport::ReadFileBytes(log + ".2");
    ASSERT_TRUE(WaitUntil([&] { return TestSupport::ReadFileBytes(log + ".2") != oldest; }, 60000));
    ASSERT_TRUE(plc.Vocator.Stop());
    const QStringList files = QDir(plc.Vocator.Dir().Path()).entryList({"vocator.log*"}, QDir::Files, QDir::Name);
    EXPECT_EQ(files, (QStringList{"vocator.log", "vocator.log.1", "vocator.log.2"}));
    for (const QString& file : files)
        EXPECT_LT(QFileInfo(plc.Vocator.Dir().File(file)).size(), Limit + 512) << file.toStdString();
}

// A second instance on the same ini file refuses to start, on standard error and in the log, with
// a status other than 0; one on another ini file runs beside it. Once the first one died without
// its shut-down, its lock file blocks nobody.
TEST(UnattendedRun, SecondInstanceOnTheSameIniIsRefused)
{
    TVocatorProcess first;
    first.WriteIni(PlainIni);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(WaitUntil([&] { return first.Log().contains("Work Opened"); }, 20000));

    QProcess second;
    second.setWorkingDirectory(first.Dir().Path());
    // Windowless like the first one, whatever display the tests have.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    second.setProcessEnvironment(environment);
    second.start(first.Program(), {});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_NE(second.exitCode(), 0);
    const QString refusal = "Another vocator already runs with the ini file " + first.Dir().File("vocator.ini");
    EXPECT_TRUE(QString::fromLocal8Bit(second.readAllStandardError()).contains(refusal));
    EXPECT_TRUE(first.Log().contains(refusal)) << first.Log().toStdString();

    TVocatorProcess other;
    other.WriteIni(PlainIni);
    ASSERT_TRUE(other.Start());
    ASSERT_TRUE(WaitUntil([&] { return other.Log().contains("Work Opened"); }, 20000)) << other.Log().toStdString();
    EXPECT_TRUE(other.Stop());

    first.Process().kill();
    ASSERT_TRUE(first.Process().waitForFinished(20000));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(WaitUntil([&] { return first.Log().count("Work Opened") == 2; }, 20000)) << first.Log().toStdString();
    EXPECT_TRUE(first.Stop());
}
