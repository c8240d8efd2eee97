// The windowless vocator with a speech program that misbehaves, and with log files it cannot
// write: the PLC's messages keep being read, each is handed to the speech program once and in
// order, and the program keeps running.
#include "FaultTestSupport.h"
#include <QDir>
#include <QFile>

using namespace Faults;

namespace {

class SpeechFault : public ::testing::Test {
protected:
    SpeechFault() : Plc(TLine::Udp, PubText) {}

    std::string Diagnosis() { return "log:\n" + Plc.Vocator.Log().toStdString() + "\noutput:\n" + Plc.Vocator.Output().toStdString(); }
    // Writes each message on the PLC and waits until vocator has read it.
    void WriteMessages(const QStringList& messages)
    {
        for (const QString& message : messages) {
            ASSERT_TRUE(Plc.Set("Message", message));
            ASSERT_TRUE(Plc.WaitForReads(PatientMs)) << Diagnosis();
        }
    }
    void StopAndExpectSpoken(const QStringList& spoken)
    {
        TestSupport::ServeEventsFor(500); // more ticks, which must speak nothing
        ASSERT_TRUE(Plc.Vocator.Running()) << Diagnosis();
        EXPECT_TRUE(Plc.Vocator.Stop()) << Diagnosis();
        EXPECT_EQ(Plc.Vocator.Spoken(), spoken);
    }

    TPlcWithVocator Plc;
};

} // namespace

// The speech program hangs for a long time while the PLC writes three messages: the PLC is still
// read meanwhile, the messages queue, and once the program ends they are spoken in order.
TEST_F(SpeechFault, HangingProgramQueuesTheMessagesInOrder)
{
    const QString hold = Plc.Vocator.Dir().File("hold");
    TestSupport::WriteFileBytes(hold, "");
    Plc.Vocator.SetEnvironment("RECORD_HOLD_FILE", hold);
    Plc.StartSim();
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(1)) << Diagnosis();

    WriteMessages({"One", "Two", "Three"});
    EXPECT_EQ(Plc.Vocator.Spoken(), QStringList{Welcome}) << "the welcome text still hangs";
    QFile::remove(hold);
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(4)) << Diagnosis();
    StopAndExpectSpoken({Welcome, "One", "Two", "Three"});
}

// A speech program that fails, crashes, hangs (also deaf to SIGTERM), leaves a child behind that
// holds its output, or prints hundreds of megabytes on every run: each message is handed over
// once and in order, each failed run is logged once with its text, the queue goes on, the
// program's memory stays bounded and it stops cleanly.
struct TMisbehaviour {
    const char* Name;
    QStringList Environment; // name=value pairs for the speech program
    const char* Failure;     // what the log line of each failed run says, or null for none
    int TimeLimitMs = 1000;  // short, so that a hanging run is ended within the test
};

class MisbehavingSpeech : public SpeechFault, public ::testing::WithParamInterface<TMisbehaviour> {};

// What the program may reach at most, KiB: its few tens of MiB and the MiB of output kept, far
// below the hundreds of MiB a program that kept all of it would need. Under AddressSanitizer
// its quarantine of freed memory grows with the run instead, so nothing is measured there.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 PeakResidentBoundKiB = 0;
#else
constexpr qint64 PeakResidentBoundKiB = 150 * 1024;
#endif

// The largest resident size the process reached, KiB.
qint64 PeakResidentKiB(qint64 pid)
{
    for (const QByteArray& line : TestSupport::ReadFileBytes(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

TEST_P(MisbehavingSpeech, GetsEveryMessageOnceAndGoesOn)
{
    for (const QString& variable : GetParam().Environment)
        Plc.Vocator.SetEnvironment(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    Plc.StartSim();
    Plc.Vocator.WriteIni(Plc.Ini(Welcome, "Message").replace("[TTS]\n", QStringLiteral("[TTS]\nSAY_TIMEOUT=%1\n").arg(GetParam().TimeLimitMs).toUtf8()));
    ASSERT_TRUE(Plc.Vocator.Start());
    WriteMessages({"One", "Two"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, PatientMs)) << Diagnosis();
    WriteMessages({"Three"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(4, PatientMs)) << Diagnosis();
    const QStringList spoken{Welcome, "One", "Two", "Three"};
    if (GetParam().Failure) {
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Vocator.Log().contains(QStringLiteral("%1: Three").arg(GetParam().Failure)); },
                                           PatientMs))
            << Diagnosis();
    }
    if (PeakResidentBoundKiB > 0) {
        EXPECT_LT(PeakResidentKiB(Plc.Vocator.Process().processId()), PeakResidentBoundKiB);
    }
    StopAndExpectSpoken(spoken);
    EXPECT_EQ(Plc.Vocator.Log().count(QStringLiteral("Say_exe failed, ")), GetParam().Failure ? 4 : 0) << Diagnosis();
    if (GetParam().Failure) {
        for (const QString& text : spoken)
            EXPECT_EQ(Plc.Vocator.Log().count(QStringLiteral("%1: %2").arg(GetParam().Failure, text)), 1) << text.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, MisbehavingSpeech,
    ::testing::Values(TMisbehaviour{"Failing", {"RECORD_EXIT=3"}, "Say_exe failed, exit status 3"},
                      TMisbehaviour{"Crashing", {"RECORD_CRASH=1"}, "Say_exe failed, killed by signal 11 (Segmentation fault)"},
                      TMisbehaviour{"Hanging", {"RECORD_HANG=1"}, "Say_exe failed, no end within 1 s, stopped"},
                      TMisbehaviour{"HangingDeafToSigterm", {"RECORD_HANG=1", "RECORD_IGNORE_TERM=1"},
                                    "Say_exe failed, no end within 1 s, stopped"},
                      TMisbehaviour{"LeavingAChildOnItsOutput", {"RECORD_LEAVE_CHILD=1"}, "Say_exe failed, no end within 1 s, stopped"},
                      TMisbehaviour{"Flooding", {"RECORD_OUTPUT_BYTES=100000000"}, nullptr, 60000}),
    [](const ::testing::TestParamInfo<TMisbehaviour>& program) { return std::string(program.param.Name); });

// SIGTERM while the speech program hangs ends vocator through its normal shut-down, without
// waiting for the run's time limit.
TEST_F(SpeechFault, SigtermDuringAHangingRunShutsDown)
{
    Plc.Vocator.SetEnvironment("RECORD_HANG", "1");
    Plc.Vocator.SetEnvironment("RECORD_IGNORE_TERM", "1");
    Plc.StartSim();
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(1)) << Diagnosis();
    EXPECT_TRUE(Plc.Vocator.Stop(15000)) << Diagnosis();
    EXPECT_TRUE(Plc.Vocator.Log().contains("Say_exe stopped by the shut-down: " + QString(Welcome))) << Diagnosis();
    EXPECT_TRUE(Plc.Vocator.Log().contains("--== Exiting vocator application")) << Diagnosis();
}

// A message tag that is no STRING is refused once when the PUB file is loaded, nothing is
// announced from it, and the self-test fails for it.
TEST_F(SpeechFault, MessageTagThatIsNoStringIsRefused)
{
    Plc.StartSim();
    Plc.StartVocator(Welcome, "Counter");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Downloads() >= 1; }, PatientMs)) << Diagnosis();
    ASSERT_TRUE(Plc.Set("Counter", "17"));
    ASSERT_TRUE(Plc.WaitForReads(PatientMs)) << Diagnosis();
    StopAndExpectSpoken({Welcome});
    EXPECT_EQ(Plc.Vocator.Log().count("Tag_Message Counter is INT, not a STRING: nothing is announced from it"), 1) << Diagnosis();

    // The self-test fetches the PUB file from the same PLC and fails for the tag.
    ASSERT_TRUE(Plc.Vocator.Start({"/selftest"}));
    ASSERT_TRUE(Plc.Vocator.Process().waitForFinished(PatientMs));
    EXPECT_NE(Plc.Vocator.Process().exitCode(), 0);
    EXPECT_TRUE(Plc.Vocator.Output().contains("selftest: message tag: FAILED (Tag_Message Counter is INT")) << Diagnosis();
}

// The speech program is missing: each message that comes up is logged with the failed start and
// is not tried again; once the program is installed, the next messages are spoken.
TEST_F(SpeechFault, MissingProgramIsLoggedUntilItIsInstalled)
{
    Plc.StartSim();
    const QString say = Plc.Vocator.Dir().File("say");
    Plc.Vocator.WriteIni(Plc.Ini(Welcome, "Message").replace(RECORD_ARGS_PATH, say.toUtf8()));
    ASSERT_TRUE(Plc.Vocator.Start());
    WriteMessages({"Lost"});
    const QString failed = "EScriptingException-> Create process " + say + " failed:No such file or directory";
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Vocator.Log().count(failed) >= 2; }, PatientMs)) << Diagnosis();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Vocator.Output().contains("Say_exe:Lost"); })) << Diagnosis();

    ASSERT_TRUE(QFile::copy(RECORD_ARGS_PATH, say));
    QFile::setPermissions(say, QFile::permissions(RECORD_ARGS_PATH));
    WriteMessages({"Heard"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(1)) << Diagnosis();
    StopAndExpectSpoken({"Heard"});
    EXPECT_EQ(Plc.Vocator.Log().count(failed), 2) << "the welcome text and the first message, once each";
}

// Neither the program's log file nor the line's log file can be written (the one is a folder,
// the other lies in a "folder" that is a file): the lines are lost, nothing else is, and the
// memo lines still reach standard output.
TEST_F(SpeechFault, UnwritableLogFilesAreNoObstacle)
{
    ASSERT_TRUE(QDir(Plc.Vocator.Dir().Path()).mkdir("vocator.log"));
    TestSupport::WriteFileBytes(Plc.Vocator.Dir().File("plain-file"), "");
    Plc.StartSim();
    Plc.Vocator.WriteIni(Plc.Ini(Welcome, "Message", 200, "LoggingFile=" + Plc.Vocator.Dir().File("plain-file/line.log") + "\n"));
    ASSERT_TRUE(Plc.Vocator.Start());
    WriteMessages({"One", "Two"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3)) << Diagnosis();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return Plc.Vocator.Output().contains("Say_exe:Two"); })) << Diagnosis();
    StopAndExpectSpoken({Welcome, "One", "Two"});
}
