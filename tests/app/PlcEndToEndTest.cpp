// The built vocator against the PLC simulator and a recording speech program: what the PLC writes
// into its message variable is spoken once per change, over UDP and TCP, also after the PLC went
// silent or was restarted.
#include "RecordedRuns.h"
#include "SimProcess.h"
#include "TestSupport.h"
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <memory>

using TestSupport::TTempDir;
using TestSupport::WaitUntil;

namespace {

const char* const Welcome = "Vocator listens";

// The message string among other tags, as a PLC lists them.
const char* const PubText = "Counter R W 0 INT ;cycles\r\n"
                            "Message R B 10 STRING[64] ;text for the loudspeaker\r\n"
                            "Alarm X B 0 .3 BOOL\r\n"
                            "Level R W 80 REAL\r\n";

enum class TLine { Udp, Tcp };

std::string LineName(const ::testing::TestParamInfo<TLine>& info) { return info.param == TLine::Udp ? "Udp" : "Tcp"; }

class PlcEndToEndBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        Program = Dir.File("vocator");
        ASSERT_TRUE(QFile::copy(VOCATOR_PATH, Program));
        QFile::setPermissions(Program, QFile::permissions(VOCATOR_PATH));
        TestSupport::WriteFileBytes(Dir.File("var.pub"), PubText);
        Vocator.setWorkingDirectory(Dir.Path());
        Vocator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RECORD_FILE", Dir.File("runs.txt"));
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        Vocator.setProcessEnvironment(environment);
    }
    void TearDown() override
    {
        if (Vocator.state() != QProcess::NotRunning) {
            Vocator.kill();
            Vocator.waitForFinished();
        }
    }

    bool Udp() const { return Line == TLine::Udp; }
    QString Service() const { return Udp() ? "udp" : "tcp"; }

    // The simulator on a fresh address, or on the address and ports of the one before.
    void StartSim(const QStringList& extra = {})
    {
        QStringList arguments{"--pub", Dir.File("var.pub"), "--password", "heslo", "--code-page", "windows-1250"};
        if (Sim) {
            arguments << "--" + Service() << QString::number(LinePort) << "--http" << QString::number(HttpPort);
            Sim = std::make_unique<TSimProcess>(SimAddress, arguments + extra);
        } else {
            arguments << "--" + Service() << "0" << "--http" << "0";
            Sim = std::make_unique<TSimProcess>(arguments + extra);
            SimAddress = Sim->Address();
            LinePort = Sim->Port(Service());
            HttpPort = Sim->Port("http");
        }
    }
    void StartVocator(const QString& messageTag = "Message")
    {
        const QString ini = QString("[common]\ntimer=200\nSlowTimer=200\nWelcomeMsg=%1\n"
                                    "[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\nTag_Message=%2\n"
                                    "[PLC]\nDeviceName=%3:%4:%5\nHttpPort=%6\nPassword=heslo\nCodePage=windows-1250\n"
                                    "LoggingToFile=1\nLoggingToFileOptions=lgConnect,lgDisconnect,lgErrorLevel1\n")
                                .arg(Welcome, messageTag, Udp() ? "UDP" : "TCP", SimAddress)
                                .arg(LinePort)
                                .arg(HttpPort);
        TestSupport::WriteFileBytes(Dir.File("vocator.ini"), ini.toUtf8());
        Vocator.start(Program, {});
        ASSERT_TRUE(Vocator.waitForStarted());
    }
    void StopVocator()
    {
        Vocator.terminate();
        ASSERT_TRUE(Vocator.waitForFinished(20000));
        EXPECT_EQ(Vocator.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Vocator.exitCode(), 0);
    }

    QStringList Spoken() const
    {
        QStringList texts;
        for (const QStringList& run : TestSupport::ReadRecordedRuns(Dir.File("runs.txt")))
            texts << run.value(1);
        return texts;
    }
    bool WaitForSpoken(int count) { return WaitUntil([&] { return Spoken().size() >= count; }, 20000); }
    // The master reads one block after the other, and reports each answer before it sends the
    // next read: once the simulator saw two more reads, vocator has seen what was set before.
    bool WaitForReads()
    {
        const qint64 target = Reads() + 2;
        return WaitUntil([&] { return Reads() >= target; }, 20000);
    }
    qint64 Reads() { return Counter(Sim->Command("stats"), "read-frames"); }
    void Set(const QString& tag, const QString& value) { ASSERT_EQ(Sim->Command("set " + tag + " " + value), "ok"); }

    QString Log() const { return QString::fromUtf8(TestSupport::ReadFileBytes(Dir.File("vocator.log"))); }
    qsizetype Downloads() const { return Log().count("\tvar.pub downloaded\r\n"); }
    QString Output()
    {
        FOutput += QString::fromUtf8(Vocator.readAllStandardOutput());
        return FOutput;
    }

    TLine Line = TLine::Udp;
    TTempDir Dir;
    QString Program;
    QProcess Vocator;
    std::unique_ptr<TSimProcess> Sim;
    QString SimAddress;
    quint16 LinePort = 0;
    quint16 HttpPort = 0;
    QString FOutput;
};

class PlcEndToEnd : public PlcEndToEndBase, public ::testing::WithParamInterface<TLine> {
protected:
    PlcEndToEnd() { Line = GetParam(); }
};

using MissingMessageTag = PlcEndToEndBase;

} // namespace

// A text already in the PLC at start is spoken once; every change to a non-blank text is spoken
// once, in order: blanks around a text change nothing, a blank text in between lets the same
// text speak again, and Czech text comes through the PLC's code page. The log shows the
// connection with the download before it.
TEST_P(PlcEndToEnd, SpeaksEveryChangeOfTheMessageOnce)
{
    StartSim({"--set", "Message=Linka 3 běží"});
    StartVocator();
    ASSERT_TRUE(WaitForSpoken(2)) << Log().toStdString();

    Set("Message", "A");
    ASSERT_TRUE(WaitForSpoken(3));
    Set("Message", "\"  A  \"");
    ASSERT_TRUE(WaitForReads());
    Set("Message", "\"   \"");
    ASSERT_TRUE(WaitForReads());
    Set("Message", "A");
    ASSERT_TRUE(WaitForSpoken(4));
    Set("Message", "A");
    ASSERT_TRUE(WaitForReads());
    Set("Message", "Pozor, vlak přijíždí");
    ASSERT_TRUE(WaitForSpoken(5));
    TestSupport::ServeEventsFor(600); // a few more ticks, which must speak nothing
    StopVocator();

    EXPECT_EQ(Spoken(), (QStringList{Welcome, "Linka 3 běží", "A", "A", "Pozor, vlak přijíždí"}));
    const QString log = Log();
    const QString device = QString("%1:%2:%3\t").arg(Udp() ? "UDP" : "TCP", SimAddress).arg(LinePort);
    const qsizetype downloading = log.indexOf(device + "Downloading pub file var.pub ...\r\n");
    const qsizetype downloaded = log.indexOf(device + "var.pub downloaded\r\n");
    const qsizetype connected = log.indexOf(device + "Connected\r\n");
    EXPECT_TRUE(0 <= downloading && downloading < downloaded && downloaded < connected) << log.toStdString();
    EXPECT_EQ(Downloads(), 1) << log.toStdString();
}

// The simulator drops its answers for a while: vocator reconnects, downloads the PUB file again,
// and the next message is spoken exactly once; the one before it is not spoken again.
TEST_P(PlcEndToEnd, SpeaksTheNextMessageOnceAfterThePlcWentSilent)
{
    StartSim();
    StartVocator();
    Set("Message", "Before");
    ASSERT_TRUE(WaitForSpoken(2));

    ASSERT_EQ(Sim->Command("drop 3"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Downloads() >= 2; }, 20000)) << Log().toStdString();
    Set("Message", "After");
    ASSERT_TRUE(WaitForSpoken(3));
    ASSERT_TRUE(WaitForReads());
    TestSupport::ServeEventsFor(600);
    StopVocator();

    EXPECT_EQ(Spoken(), (QStringList{Welcome, "Before", "After"}));
    EXPECT_GE(Counter(Sim->Command("stats"), "dropped"), 3);
}

// The PLC is killed and comes back on the same address and ports, still holding its last text:
// vocator logs the failed downloads while it is away, loads the PUB file from the new one, does
// not repeat the old text and speaks the next one once.
TEST_P(PlcEndToEnd, SpeaksTheNextMessageOnceAfterThePlcRestarted)
{
    StartSim();
    StartVocator();
    Set("Message", "Before");
    ASSERT_TRUE(WaitForSpoken(2));

    Sim->Kill();
    ASSERT_TRUE(WaitUntil([&] { return Log().contains("Downliding pub file (var.pub) failed") ||
                                       Log().contains("TCP: Connect:"); }, 20000)) << Log().toStdString();
    StartSim({"--set", "Message=Before"});
    ASSERT_TRUE(WaitUntil([&] { return Downloads() >= 2; }, 20000)) << Log().toStdString();
    ASSERT_TRUE(WaitForReads());
    Set("Message", "After");
    ASSERT_TRUE(WaitForSpoken(3));
    ASSERT_TRUE(WaitForReads());
    TestSupport::ServeEventsFor(600);
    StopVocator();

    EXPECT_EQ(Spoken(), (QStringList{Welcome, "Before", "After"}));
}

INSTANTIATE_TEST_SUITE_P(Lines, PlcEndToEnd, ::testing::Values(TLine::Udp, TLine::Tcp), LineName);

// A message tag that the PUB file does not list: every answered read reports it on standard
// output, where the windowless program shows its memo lines, collapsed into one line and a count
// of repeats; nothing but the welcome text is spoken and the program keeps running.
TEST_F(MissingMessageTag, IsReportedOnEveryReadAndNothingIsSpoken)
{
    StartSim({"--set", "Message=Hello"});
    StartVocator("Mesage");
    const QString line = "EEPSNETException:Requested tag Mesage doesn't exist in current tag list\n";
    ASSERT_TRUE(WaitUntil([&] { return Output().contains(line); }, 20000)) << Output().toStdString();
    ASSERT_TRUE(WaitForSpoken(1));
    ASSERT_TRUE(WaitForReads());
    Set("Message", "World");
    ASSERT_TRUE(WaitForReads());
    TestSupport::ServeEventsFor(600);
    ASSERT_EQ(Vocator.state(), QProcess::Running);
    StopVocator();

    EXPECT_EQ(Spoken(), QStringList{Welcome});
    const QString output = Output();
    EXPECT_TRUE(output.contains(line + "(the line above came ")) << output.toStdString();
    EXPECT_LT(output.count(line), 10) << "repeats are counted, not printed";
}

using StalledWebServer = PlcEndToEndBase;

// The PLC's web server holds every answer for a minute: SIGTERM still ends vocator at once, as
// the download in progress is cut short instead of running out its three time-outs.
TEST_F(StalledWebServer, DoesNotHoldTheShutDown)
{
    StartSim();
    ASSERT_EQ(Sim->Command("http-delay 60000"), "ok");
    StartVocator();
    ASSERT_TRUE(WaitUntil([&] { return Log().contains("Downloading pub file var.pub ..."); }, 20000)) << Log().toStdString();
    StopVocator();
    EXPECT_FALSE(Log().contains("var.pub downloaded")) << Log().toStdString();
}
