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
