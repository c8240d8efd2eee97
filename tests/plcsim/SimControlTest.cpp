// The simulator's memory, commands, script and command line, as a test or the demo uses them.
#include "SimProcess.h"
#include "TestSupport.h"
#include <gtest/gtest.h>

namespace {

const QByteArray DemoPub = "; demo PLC\r\n"
                           "Pump R B 10 .2 BOOL ;pump on\r\n"
                           "Level R B 11 SINT\r\n"
                           "Mode R B 12 MYENUM\r\n"
                           "Speed R B 14 INT\r\n"
                           "Flow R B 16 UINT\r\n"
                           "Total R B 20 DINT\r\n"
                           "Cnt R B 24 UDINT\r\n"
                           "Temp R B 28 REAL ;boiler\r\n"
                           "Exact R B 32 LREAL\r\n"
                           "Up R B 40 TIME\r\n"
                           "Stamp R B 48 DT\r\n"
                           "Msg R B 200 STRING[5] ;text for the speaker\r\n";

class SimControl : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::WriteFileBytes(Pub, DemoPub); }

    TestSupport::TTempDir Dir;
    QString Pub = Dir.File(QStringLiteral("var.pub"));
};

} // namespace

TEST_F(SimControl, SetWritesEachTypeAsThePlcHoldsIt)
{
    // Every PUB type takes a value in its own notation and lands little-endian in its area.
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--pub"), Pub});
    EXPECT_TRUE(sim.ReadyLine.endsWith(QStringLiteral("tags=12")));
    const struct {
        const char* Set;
        const char* Peek;
        const char* Bytes;
    } cases[] = {
        {"set Pump 1", "peek R10 1", "ok 04"},
        {"set Pump false", "peek R10 1", "ok 00"},
        {"set Level -5", "peek R11 1", "ok FB"},
        {"set Mode 200", "peek R12 1", "ok C8"},
        {"set Speed -2", "peek R14 2", "ok FE FF"},
        {"set Flow 65535", "peek R16 2", "ok FF FF"},
        {"set Total 305419896", "peek R20 4", "ok 78 56 34 12"},
        {"set Cnt 4294967295", "peek R24 4", "ok FF FF FF FF"},
        {"set Temp 1.5", "peek R28 4", "ok 00 00 C0 3F"},
        {"set Exact -2", "peek R32 8", "ok 00 00 00 00 00 00 00 C0"},
        {"set Up 1000", "peek R40 4", "ok E8 03 00 00"},
        {"set Stamp 1970-01-02 00:00:00", "peek R48 8", "ok 00 00 00 00 00 18 F5 40"},
        {"set Msg Hello world", "peek R200 6", "ok 48 65 6C 6C 6F 00"},
        {"set Msg \" a \"", "peek R200 6", "ok 20 61 20 00 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Set);
        EXPECT_EQ(sim.Command(QString::fromUtf8(c.Set)), QStringLiteral("ok"));
        EXPECT_EQ(sim.Command(QString::fromUtf8(c.Peek)), QString::fromUtf8(c.Bytes));
    }
    EXPECT_EQ(sim.Command(QStringLiteral("get Cnt")), QStringLiteral("ok -1"));
}

TEST_F(SimControl, BadCommandsAnswerWithAnErrorAndChangeNothing)
{
    // Each bad line gets "error: ..." and the simulator keeps serving.
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--pub"), Pub});
    const struct {
        const char* Line;
        const char* Error;
    } cases[] = {
        {"set Level 128", "not a valid SINT"},
        {"set Flow -1", "not a valid UINT"},
        {"set Pump yes", "not a valid BOOL"},
        {"set Stamp yesterday", "not a valid DT"},
        {"set Nope 1", "No tag \"Nope\""},
        {"poke R65535 01 02", "do not fit"},
        {"poke Q1 01", "Unknown PLC area"},
        {"poke R1 XYZ", "not a hexadecimal byte"},
        {"drop -1", "needs a count"},
        {"pub sideways", "pub needs"},
        {"pub huge 0", "pub huge needs"},
        {"http on", "web server is not running"},
        {"load /nonexistent/var.pub", "Cannot open PUB file"},
        {"fly", "Unknown command \"fly\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        const QString reply = sim.Command(QString::fromUtf8(c.Line));
        EXPECT_TRUE(reply.startsWith(QStringLiteral("error: ")) && reply.contains(QString::fromUtf8(c.Error))) << reply.toStdString();
    }
    EXPECT_EQ(sim.Command(QStringLiteral("peek R10 8")), QStringLiteral("ok 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(sim.Command(QStringLiteral("get Msg")), QStringLiteral("ok")); // the empty text
}

TEST_F(SimControl, InitialValuesAndTheScriptSetMemoryInTime)
{
    // --set applies before the ready line; the script's lines run at their times after it.
    const QString script = Dir.File(QStringLiteral("demo.script"));
    TestSupport::WriteFileBytes(script, "# the demo's messages\n0 set Msg A\n\n300 set Msg B\n300 set Speed 7\n");
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--pub"), Pub, QStringLiteral("--set"),
                     QStringLiteral("Speed=-1"), QStringLiteral("--set"), QStringLiteral("Temp=2.5"), QStringLiteral("--script"), script});
    EXPECT_EQ(sim.NextLine(), QStringLiteral("script line 2: set Msg A: ok"));
    EXPECT_EQ(sim.NextLine(), QStringLiteral("script line 4: set Msg B: ok"));
    EXPECT_EQ(sim.NextLine(), QStringLiteral("script line 5: set Speed 7: ok"));
    EXPECT_EQ(sim.Command(QStringLiteral("get Msg")), QStringLiteral("ok B"));
    EXPECT_EQ(sim.Command(QStringLiteral("get Speed")), QStringLiteral("ok 7"));
    EXPECT_EQ(sim.Command(QStringLiteral("get Temp")), QStringLiteral("ok 2.5"));
}

TEST_F(SimControl, EndsCleanlyOnSignalAndOnQuitWithItsCounters)
{
    // SIGTERM and "quit" both end with status 0 and the counters as the last line.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0")});
    TRawSocket socket = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    socket.Send(Bytes("00 01 02 00 00 06 10 00 7E 69 E7 16"));
    ASSERT_FALSE(socket.ReceiveDatagram().isEmpty());
    EXPECT_EQ(sim.Terminate(), 0);
    EXPECT_EQ(Counter(sim.LastLine, QStringLiteral("connect-frames")), 1);
    EXPECT_EQ(Counter(sim.LastLine, QStringLiteral("udp-datagrams")), 1);

    const TSimRun run = RunSimToEnd({QStringLiteral("--http"), QStringLiteral("0")}, "stats\nquit\n");
    EXPECT_EQ(run.Status, 0);
    EXPECT_TRUE(run.Output.trimmed().endsWith(QStringLiteral("http-delayed=0"))) << run.Output.toStdString();
}

TEST_F(SimControl, WrongCommandLinesAreRefusedWithAMessage)
{
    // A simulator that cannot do what it was asked says why and exits with status 2.
    const QString script = Dir.File(QStringLiteral("bad.script"));
    TestSupport::WriteFileBytes(script, "100 set Msg A\nsoon set Msg B\n");
    const QString badPub = Dir.File(QStringLiteral("bad.pub"));
    TestSupport::WriteFileBytes(badPub, "Pump R B 10\r\n");
    const struct {
        QStringList Arguments;
        const char* Message;
    } cases[] = {
        {{}, "nothing to serve"},
        {{QStringLiteral("--udp"), QStringLiteral("70000")}, "needs a port"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--station"), QStringLiteral("256")}, "--station"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--code-page"), QStringLiteral("klingon")}, "unknown code page"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--pub"), Dir.File(QStringLiteral("none.pub"))}, "Cannot open PUB file"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--pub"), badPub}, "Wrong line format:Pump R B 10"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--pub"), Pub, QStringLiteral("--set"), QStringLiteral("Msg")}, "tag=value"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--pub"), Pub, QStringLiteral("--set"), QStringLiteral("Level=999")}, "SINT"},
        {{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--script"), script}, "bad.script line 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Arguments.join(QLatin1Char(' ')).toStdString());
        const TSimRun run = RunSimToEnd(c.Arguments);
        EXPECT_EQ(run.Status, 2);
        EXPECT_TRUE(run.Errors.contains(QString::fromUtf8(c.Message))) << run.Errors.toStdString();
        EXPECT_FALSE(run.Output.contains(QStringLiteral("ready")));
    }
}

TEST_F(SimControl, BindingAPortInUseFailsWithAMessage)
{
    // A second simulator on the same address and TCP port cannot start.
    TSimProcess first({QStringLiteral("--tcp"), QStringLiteral("0")});
    QProcess second;
    second.start(QStringLiteral(PLCSIM_PATH), {QStringLiteral("--address"), first.Address(), QStringLiteral("--tcp"),
                                               QString::number(first.Port(QStringLiteral("tcp")))});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 2);
    EXPECT_TRUE(second.readAllStandardError().contains("Cannot listen on TCP"));
}
