// The built vocator against the PLC simulator and a recording speech program: what the PLC writes
// into its message variable is spoken once per change, over UDP and TCP. How it stands up to a
// misbehaving PLC is the fault suite's matter.
#include "VocatorProcess.h"
#include <gtest/gtest.h>

using TestSupport::TLine;
using TestSupport::TPlcWithVocator;
using TestSupport::WaitUntil;

namespace {

const char* const Welcome = "Vocator listens";

// The message string among other tags, as a PLC lists them.
const char* const PubText = "Counter R W 0 INT ;cycles\r\n"
                            "Message R B 10 STRING[64] ;text for the loudspeaker\r\n"
                            "Alarm X B 0 .3 BOOL\r\n"
                            "Level R W 80 REAL\r\n";

class PlcEndToEndBase : public ::testing::Test {
protected:
    explicit PlcEndToEndBase(TLine line = TLine::Udp) : Plc(line, PubText) {}

    void StopVocator() { EXPECT_TRUE(Plc.Vocator.Stop()) << Plc.Vocator.Log().toStdString(); }
    QStringList Spoken() const { return Plc.Vocator.Spoken(); }
    bool WaitForSpoken(int count) { return Plc.Vocator.WaitForSpoken(count); }
    QString Log() const { return Plc.Vocator.Log(); }

    TPlcWithVocator Plc;
};

class PlcEndToEnd : public PlcEndToEndBase, public ::testing::WithParamInterface<TLine> {
protected:
    PlcEndToEnd() : PlcEndToEndBase(GetParam()) {}
};

using MissingMessageTag = PlcEndToEndBase;

} // namespace

// A text already in the PLC at start is spoken once; every change to a non-blank text is spoken
// once, in order: blanks around a text change nothing, a blank text in between lets the same
// text speak again, and Czech text comes through the PLC's code page. The log shows the
// connection with the download before it.
TEST_P(PlcEndToEnd, SpeaksEveryChangeOfTheMessageOnce)
{
    Plc.StartSim({"--set", "Message=Linka 3 běží"});
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(WaitForSpoken(2)) << Log().toStdString();

    ASSERT_TRUE(Plc.Set("Message", "A"));
    ASSERT_TRUE(WaitForSpoken(3));
    ASSERT_TRUE(Plc.Set("Message", "\"  A  \""));
    ASSERT_TRUE(Plc.WaitForReads());
    ASSERT_TRUE(Plc.Set("Message", "\"   \""));
    ASSERT_TRUE(Plc.WaitForReads());
    ASSERT_TRUE(Plc.Set("Message", "A"));
    ASSERT_TRUE(WaitForSpoken(4));
    ASSERT_TRUE(Plc.Set("Message", "A"));
    ASSERT_TRUE(Plc.WaitForReads());
    ASSERT_TRUE(Plc.Set("Message", "Pozor, vlak přijíždí"));
    ASSERT_TRUE(WaitForSpoken(5));
    TestSupport::ServeEventsFor(600); // a few more ticks, which must speak nothing
    StopVocator();

    EXPECT_EQ(Spoken(), (QStringList{Welcome, "Linka 3 běží", "A", "A", "Pozor, vlak přijíždí"}));
    const QString log = Log();
    const QString device = Plc.DeviceName() + "\t";
    const qsizetype downloading = log.indexOf(device + "Downloading pub file var.pub ...\r\n");
    const qsizetype downloaded = log.indexOf(device + "var.pub downloaded\r\n");
    const qsizetype connected = log.indexOf(device + "Connected\r\n");
    EXPECT_TRUE(0 <= downloading && downloading < downloaded && downloaded < connected) << log.toStdString();
    EXPECT_EQ(Plc.Downloads(), 1) << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Lines, PlcEndToEnd, ::testing::Values(TLine::Udp, TLine::Tcp),
                         [](const ::testing::TestParamInfo<TLine>& line) { return TestSupport::LineName(line.param).toStdString(); });

// A message tag that the PUB file does not list: every answered read reports it on standard
// output, where the windowless program shows its memo lines, collapsed into one line and a count
// of repeats; nothing but the welcome text is spoken and the program keeps running.
TEST_F(MissingMessageTag, IsReportedOnEveryReadAndNothingIsSpoken)
{
    Plc.StartSim({"--set", "Message=Hello"});
    Plc.StartVocator(Welcome, "Mesage");
    const QString line = "EEPSNETException:Requested tag Mesage doesn't exist in current tag list\n";
    ASSERT_TRUE(WaitUntil([&] { return Plc.Vocator.Output().contains(line); }, 20000)) << Plc.Vocator.Output().toStdString();
    ASSERT_TRUE(WaitForSpoken(1));
    ASSERT_TRUE(Plc.WaitForReads());
    ASSERT_TRUE(Plc.Set("Message", "World"));
    ASSERT_TRUE(Plc.WaitForReads());
    TestSupport::ServeEventsFor(600);
    ASSERT_EQ(Plc.Vocator.Running(), true);
    StopVocator();

    EXPECT_EQ(Spoken(), QStringList{Welcome});
    const QString output = Plc.Vocator.Output();
    EXPECT_TRUE(output.contains(line + "(the line above came ")) << output.toStdString();
    EXPECT_LT(output.count(line), 10) << "repeats are counted, not printed";
}

using StalledWebServer = PlcEndToEndBase;

// The PLC's web server holds every answer for a minute: SIGTERM still ends vocator at once, as
// the download in progress is cut short instead of running out its three time-outs.
TEST_F(StalledWebServer, DoesNotHoldTheShutDown)
{
    Plc.StartSim();
    ASSERT_EQ(Plc.Sim->Command("http-delay 60000"), "ok");
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(WaitUntil([&] { return Log().contains("Downloading pub file var.pub ..."); }, 20000)) << Log().toStdString();
    StopVocator();
    EXPECT_FALSE(Log().contains("var.pub downloaded")) << Log().toStdString();
}
