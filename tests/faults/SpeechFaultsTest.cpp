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

// A speech program that crashes after it took its text, or prints megabytes on every run: the
// run is over when its output closes, and every message is handed over once, in order.
struct TMisbehaviour {
    const char* Name;
    const char* Variable;
    const char* Value;
};

class MisbehavingSpeech : public SpeechFault, public ::testing::WithParamInterface<TMisbehaviour> {};

TEST_P(MisbehavingSpeech, GetsEveryMessageOnce)
{
    Plc.Vocator.SetEnvironment(GetParam().Variable, GetParam().Value);
    Plc.StartSim();
    Plc.StartVocator(Welcome);
    WriteMessages({"One", "Two"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, PatientMs)) << Diagnosis();
    WriteMessages({"Three"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(4, PatientMs)) << Diagnosis();
    StopAndExpectSpoken({Welcome, "One", "Two", "Three"});
}

INSTANTIATE_TEST_SUITE_P(Programs, MisbehavingSpeech,
                         ::testing::Values(TMisbehaviour{"Crashing", "RECORD_CRASH", "1"},
                                           TMisbehaviour{"Talkative", "RECORD_OUTPUT_BYTES", "8000000"}),
                         [](const ::testing::TestParamInfo<TMisbehaviour>& program) { return std::string(program.param.Name); });

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
