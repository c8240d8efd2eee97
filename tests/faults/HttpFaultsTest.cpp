// The windowless vocator against a PLC whose web server fails to hand out the PUB file: without
// its file a connection is of no use, so it is closed, the failure logged with its reason, and
// the download tried again at the next connection. Once the server serves again, the text on
// the PLC is spoken once.
#include "FaultTestSupport.h"

using namespace Faults;

namespace {

struct THttpFault {
    const char* Name;
    const char* Command;
    const char* Reason; // what the log line gives after "Downliding pub file (var.pub) failed: "
};

const THttpFault HttpFaults[] = {
    {"Refusing", "http off", "HTTP GET http://"},
    {"Answering500", "pub error", " answered 500"},
    {"EmptyBody", "pub empty", " returned an empty file"},
    {"BodyOverTheBound", "pub huge 17000000", ": the body exceeds 16777216 bytes"},
};

class HttpFault : public ::testing::TestWithParam<THttpFault> {
protected:
    HttpFault() : Plc(TLine::Tcp, PubText) {}
    QString Log() const { return Plc.Vocator.Log(); }
    std::string Diagnosis() { return "log:\n" + Log().toStdString() + "\noutput:\n" + Plc.Vocator.Output().toStdString(); }

    TPlcWithVocator Plc;
};

} // namespace

TEST_P(HttpFault, IsLoggedRetriedAndRecoveredFrom)
{
    const THttpFault& fault = GetParam();
    Plc.StartSim({"--set", "Message=Waiting"});
    ASSERT_EQ(Plc.Sim->Command(fault.Command), "ok");
    Plc.StartVocator(Welcome);

    const QString failed = Plc.DeviceName() + "\tTkxEPSNETMasterThread:" + Plc.DeviceName() +
                           ":EEPSNETException:Downliding pub file (var.pub) failed: ";
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Log().count(failed) >= 2; }, PatientMs)) << Diagnosis();
    const QString log = Log();
    const qsizetype line = log.indexOf(failed);
    EXPECT_TRUE(log.mid(line, log.indexOf('\n', line) - line).contains(fault.Reason)) << log.toStdString();
    EXPECT_EQ(Plc.Downloads(), 0);
    EXPECT_TRUE(Plc.Vocator.Running());

    ASSERT_EQ(Plc.Sim->Command("reset"), "ok");
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(2, RecoveryBoundMs)) << Diagnosis();
    ASSERT_TRUE(Plc.Set("Message", "After"));
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << Diagnosis();
    ASSERT_TRUE(Plc.WaitForReads());
    EXPECT_TRUE(Plc.Vocator.Stop()) << Diagnosis();
    EXPECT_EQ(Plc.Vocator.Spoken(), (QStringList{Welcome, "Waiting", "After"}));
    EXPECT_EQ(Plc.Downloads(), 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, HttpFault, ::testing::ValuesIn(HttpFaults),
                         [](const ::testing::TestParamInfo<THttpFault>& fault) { return std::string(fault.param.Name); });

// At a reconnection the PLC serves a PUB file with a broken line in the middle: the load stops
// there with the line in the log, the tags before it are kept and the reads planned from the
// last good file go on, so the message variable, which comes before the broken line, is still
// spoken; the line stays connected.
TEST(PubFault, BadLineInTheMiddleKeepsTheTagsBeforeIt)
{
    TPlcWithVocator plc(TLine::Udp, PubText);
    plc.StartSim();
    plc.StartVocator(Welcome);
    ASSERT_TRUE(plc.Set("Message", "Before"));
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(2, PatientMs)) << plc.Vocator.Log().toStdString();

    const QString broken = plc.Vocator.Dir().File("broken.pub");
    TestSupport::WriteFileBytes(broken, "Counter R W 0 INT\r\nMessage R B 10 STRING[64]\r\nPump R B 10\r\nLevel R W 80 REAL\r\n");
    ASSERT_EQ(plc.Sim->Command("pub file " + broken), "ok");
    ASSERT_EQ(plc.Sim->Command("drop 1"), "ok"); // the next connection downloads the file again
    const QString failed = plc.DeviceName() + "\tTkxEPSNETMasterThread:" + plc.DeviceName() +
                           ":EEPSNETException:Wrong line format:Pump R B 10\r\n";
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return plc.Vocator.Log().contains(failed); }, PatientMs)) << plc.Vocator.Log().toStdString();
    const qsizetype closes = plc.Vocator.Log().count("\tTCP Close\r\n");

    ASSERT_TRUE(plc.Set("Message", "After"));
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << plc.Vocator.Log().toStdString();
    ASSERT_TRUE(plc.WaitForReads());
    EXPECT_TRUE(plc.Vocator.Stop());
    EXPECT_EQ(plc.Vocator.Spoken(), (QStringList{Welcome, "Before", "After"}));
    EXPECT_EQ(plc.Vocator.Log().count("\tTCP Close\r\n"), closes) << "the connection stays up";
    EXPECT_EQ(plc.Downloads(), 2);
}

// The web server stalls past the download's time-out (HttpTimeOut, shortened here from its 90 s):
// the download gives up with "timed out" in the log, the line is closed and connected again, and
// once the server answers in time the text on the PLC is spoken.
TEST(HttpStall, PastTheTimeOutIsLoggedAndRetried)
{
    TPlcWithVocator plc(TLine::Udp, PubText);
    plc.StartSim({"--set", "Message=Waiting"});
    ASSERT_EQ(plc.Sim->Command("http-delay 3000"), "ok");
    plc.Vocator.WriteIni(plc.Ini(Welcome, "Message", 200, "HttpTimeOut=1000\n"));
    ASSERT_TRUE(plc.Vocator.Start());
    const QString failed = ":EEPSNETException:Downliding pub file (var.pub) failed: HTTP GET http://";
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return plc.Vocator.Log().count(failed) >= 2; }, PatientMs)) << plc.Vocator.Log().toStdString();
    EXPECT_TRUE(plc.Vocator.Log().contains("timed out")) << plc.Vocator.Log().toStdString();
    EXPECT_EQ(plc.Downloads(), 0);

    ASSERT_EQ(plc.Sim->Command("http-delay 0"), "ok");
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(2, RecoveryBoundMs)) << plc.Vocator.Log().toStdString();
    EXPECT_TRUE(plc.Vocator.Stop());
    EXPECT_EQ(plc.Vocator.Spoken(), (QStringList{Welcome, "Waiting"}));
}
