#include "RecordedRuns.h"
#include "TestSupport.h"
#include "VocatorProcess.h"
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using TestSupport::ReadRecordedRuns;
using TestSupport::TTempDir;

namespace {

// The built vocator in a fresh folder of its own, so that its ini and log files are the test's own.
class WindowlessVocator : public ::testing::Test {
protected:
    void WriteIni(const QByteArray& text) { Vocator.WriteIni(text); }
    QByteArray Log() const { return TestSupport::ReadFileBytes(Dir.File("vocator.log")); }
    void Start(const QStringList& arguments = {}) { ASSERT_TRUE(Vocator.Start(arguments)); }
    void Terminate() { EXPECT_TRUE(Vocator.Stop()); }

    TestSupport::TVocatorProcess Vocator;
    const TTempDir& Dir = Vocator.Dir();
    QProcess& Process = Vocator.Process();
};

} // namespace

// From its ini file the program speaks the welcome text through the configured program, logs its
// start, "Work Opened" and, after SIGTERM, "Work Closed" and the exit line.
TEST_F(WindowlessVocator, SpeaksWelcomeTextAndEndsOnSigterm)
{
    WriteIni(QString::fromUtf8("[common]\ntimer=200\nWelcomeMsg=Dobrý den\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n").toUtf8());
    Start();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return ReadRecordedRuns(Dir.File("runs.txt")).size() == 1; }, 20000));
    EXPECT_EQ(ReadRecordedRuns(Dir.File("runs.txt"))[0], (QStringList{"@", QString::fromUtf8("Dobrý den")}));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Log().contains("Work Opened"); }));
    Terminate();
    const QByteArray log = Log();
    const qsizetype before = log.indexOf("\tBefore vocator Initialize... (v.");
    const qsizetype after = log.indexOf("\tAfter vocator Initialize...");
    const qsizetype opened = log.indexOf("\tWork Opened\r\n");
    const qsizetype closed = log.indexOf("\tWork Closed\r\n");
    const qsizetype exiting = log.indexOf("\t--== Exiting vocator application (0.00 h) ==--\r\n");
    EXPECT_GE(before, 0);
    EXPECT_TRUE(before < after && after < opened && opened < closed && closed < exiting) << log.constData();
    EXPECT_TRUE(log.contains(") ThreadID:")) << log.constData();
}

// A display that is named but cannot be reached (a stale DISPLAY, a Wayland socket that is gone)
// must not end the program inside the toolkit: it speaks windowless and says why, once.
TEST_F(WindowlessVocator, UnreachableDisplayRunsWindowless)
{
    const struct {
        const char* name;
        const char* value;
    } displays[] = {{"DISPLAY", ":97"}, {"DISPLAY", "127.0.0.1:97"}, {"WAYLAND_DISPLAY", "wayland-gone-97"}};
    for (const auto& display : displays) {
        SCOPED_TRACE(display.value);
        TestSupport::TVocatorProcess vocator;
        vocator.SetEnvironment(QString::fromLatin1(display.name), QString::fromLatin1(display.value));
        vocator.WriteIni("[common]\ntimer=200\nWelcomeMsg=Hello\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
        ASSERT_TRUE(vocator.Start());
        EXPECT_TRUE(vocator.WaitForSpoken(1));
        EXPECT_TRUE(vocator.Stop());
        EXPECT_EQ(vocator.Log().count(QStringLiteral("No display can be reached")), 1) << qPrintable(vocator.Log());
    }
}

// A missing speech program: the log holds the exception line with its stack, and the program
// keeps ticking until it is told to stop.
TEST_F(WindowlessVocator, MissingSpeechProgramIsLoggedWithStack)
{
    WriteIni("[common]\ntimer=100\nSlowTimer=100\nWelcomeMsg=x\n[TTS]\nSAY_EXE=($APPLICATION$)/no-such-say\n");
    Start();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Log().count("Work Opened") >= 2; }, 20000)) << Log().constData();
    Terminate();
    const QByteArray log = Log();
    EXPECT_TRUE(log.contains("Create process " + Dir.File("no-such-say").toUtf8() + " failed:")) << log.constData();
    EXPECT_TRUE(log.contains("\tChyba:\tAkce()\tPuvod(TTimer: .DM.Timer)\t zneni: \"EScriptingException-> Create process ")) << log.constData();
    EXPECT_TRUE(log.contains("\t\t\t")) << "stack lines follow the error line";
}

// "/VER" writes the identification lines to versions.txt in the current folder and starts
// nothing else; "-ver" is no switch.
TEST_F(WindowlessVocator, VersionSwitchWritesVersionsFile)
{
    Start({"/VER"});
    ASSERT_TRUE(Process.waitForFinished(20000));
    EXPECT_EQ(Process.exitCode(), 0);
    const QByteArray versions = TestSupport::ReadFileBytes(Dir.File("versions.txt"));
    EXPECT_TRUE(versions.contains("\t$Id: DMod.cpp,v ")) << versions.constData();
    EXPECT_TRUE(versions.contains("\t$Id: Vocator.cpp,v ")) << versions.constData();
    EXPECT_TRUE(versions.endsWith("\t\r\n")) << "the last entry is empty";
    EXPECT_FALSE(QFile::exists(Dir.File("vocator.log")));
}

// The self-test checks the log file and the speech program, one line each, and fails when the
// speech program is missing.
TEST_F(WindowlessVocator, SelfTestReportsEachCheck)
{
    WriteIni("[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Start({"/selftest"});
    ASSERT_TRUE(Process.waitForFinished(60000));
    QByteArray out = Process.readAllStandardOutput();
    EXPECT_EQ(Process.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("selftest: log file: ok")) << out.constData();
    EXPECT_TRUE(out.contains("selftest: speech program: ok")) << out.constData();
    EXPECT_TRUE(out.contains("selftest: PLC loopback over UDP: skipped (no simulator at " + Dir.File("vocator-plcsim").toUtf8() + ")"))
        << out.constData();

    WriteIni("[TTS]\nSAY_EXE=/no/such/program\n");
    Start({"/SelfTest"});
    ASSERT_TRUE(Process.waitForFinished(60000));
    out = Process.readAllStandardOutput();
    EXPECT_NE(Process.exitCode(), 0);
    EXPECT_TRUE(out.contains("selftest: speech program: FAILED")) << out.constData();

    // A speech program that starts but ends with a failing status fails the check as well.
    WriteIni("[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
    Vocator.SetEnvironment("RECORD_EXIT", "3");
    Start({"/selftest"});
    ASSERT_TRUE(Process.waitForFinished(60000));
    out = Process.readAllStandardOutput();
    EXPECT_NE(Process.exitCode(), 0);
    EXPECT_TRUE(out.contains("selftest: speech program: FAILED (" RECORD_ARGS_PATH ": exit status 3)")) << out.constData();
}

// With the simulator beside the program, the self-test reads a value back from it over UDP and
// TCP; a simulator that does not become ready fails the check and the self-test.
TEST_F(WindowlessVocator, SelfTestChecksThePlcLoopbackWithTheSimulatorBesideIt)
{
    WriteIni("[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
    ASSERT_TRUE(QFile::copy(PLCSIM_PATH, Dir.File("vocator-plcsim")));
    QFile::setPermissions(Dir.File("vocator-plcsim"), QFile::permissions(PLCSIM_PATH));
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Start({"/selftest"});
    ASSERT_TRUE(Process.waitForFinished(60000));
    QByteArray out = Process.readAllStandardOutput();
    EXPECT_EQ(Process.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("selftest: PLC loopback over UDP: ok (UDP:127.0.0.1:")) << out.constData();
    EXPECT_TRUE(out.contains("selftest: PLC loopback over TCP: ok (TCP:127.0.0.1:")) << out.constData();
    EXPECT_TRUE(out.contains("SelfTestText read back)")) << out.constData();

    QFile::remove(Dir.File("vocator-plcsim"));
    TestSupport::WriteScript(Dir.File("vocator-plcsim"), "echo 'vocator-plcsim: cannot listen' >&2\nexit 2\n");
    Start({"/selftest"});
    ASSERT_TRUE(Process.waitForFinished(60000));
    out = Process.readAllStandardOutput();
    EXPECT_NE(Process.exitCode(), 0);
    EXPECT_TRUE(out.contains("selftest: PLC loopback over UDP: FAILED (the simulator did not become ready: vocator-plcsim: cannot listen)"))
        << out.constData();
    EXPECT_TRUE(out.contains("selftest: 2 check(s) failed")) << out.constData();
}
