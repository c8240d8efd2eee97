// The windowless vocator against a PLC that misbehaves on its EPSNET line: silent, short, with a
// foreign identifier, resetting, killed, not there yet. Each time the log names what happened,
// the program keeps running, and every message that stood on the PLC is spoken once, in order.
#include "FaultTestSupport.h"

using namespace Faults;

namespace {

qint64 SimCounter(TPlcWithVocator& plc, const QString& name) { return Counter(plc.Sim->Command("stats"), name); }

bool WaitForSimCounter(TPlcWithVocator& plc, const QString& name, qint64 value)
{
    return TestSupport::WaitUntil([&] { return SimCounter(plc, name) >= value; }, PatientMs);
}

} // namespace

// The PLC stays silent for more failed reads than the line retries (8): the socket is closed
// after each time-out, the master gives the connection up and shakes hands again, and a message
// written during the silence is spoken once the PLC answers.
TEST_P(PlcFault, SilenceLongerThanTheRetries)
{
    StartWorkingLine();
    ASSERT_EQ(Plc.Sim->Command("drop 10"), "ok");
    ASSERT_TRUE(Plc.Set("Message", "During"));
    ASSERT_TRUE(WaitForSimCounter(Plc, "dropped", 10)) << Diagnosis();
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << Diagnosis();

    ExpectRecoveryWith("After", {Welcome, "Before", "During"});
    const QString log = Log();
    EXPECT_GE(log.count(LineLog("TCP Close")), 9) << log.toStdString();
    EXPECT_GE(log.count(LineLog("Connected")), 2) << "a new handshake after the retries ran out";
    EXPECT_GE(Plc.Downloads(), 2);
}

// Answers cut to half their length: each is a failed read that closes the socket, and the next
// connection reads on.
TEST_P(PlcFault, ShortAnswers)
{
    StartWorkingLine();
    ASSERT_EQ(Plc.Sim->Command("short 3"), "ok");
    ASSERT_TRUE(WaitForSimCounter(Plc, "short", 3)) << Diagnosis();
    ExpectRecoveryWith("After");
    EXPECT_GE(Log().count(LineLog("TCP Close")), 3);
}

// The PLC goes away without a word and a new one comes up on its address and ports, still holding
// the last text: vocator logs the failed connections while it is away, loads the PUB file from the
// new one, does not repeat the old text and speaks the next one once.
TEST_P(PlcFault, KilledAndRestarted)
{
    StartWorkingLine();
    Plc.Sim->Kill();
    const QString away = Plc.Udp() ? "Downliding pub file (var.pub) failed" : "TCP: Connect:";
    ASSERT_TRUE(WaitForLog(away)) << Diagnosis();
    Plc.StartSim({"--set", "Message=Before"});
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Downloads() >= 2; }, RecoveryBoundMs)) << Diagnosis();
    ExpectRecoveryWith("After");
}

// Nothing listens on the PLC's address when vocator starts: the connections are refused and
// logged, and once the PLC is up its text present at start is spoken, then the next one.
TEST_P(PlcFault, RefusedAtFirst)
{
    Plc.ReserveAddress();
    Plc.StartVocator(Welcome);
    const QString refused = Plc.Udp() ? "Downliding pub file (var.pub) failed: " : "TCP: Connect:";
    ASSERT_TRUE(WaitForLog(refused)) << Diagnosis();
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(1)) << "the welcome text does not wait for the PLC";
    Plc.StartSim({"--set", "Message=Before"});
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(2, RecoveryBoundMs)) << Diagnosis();
    ExpectRecoveryWith("After");
}

INSTANTIATE_TEST_SUITE_P(Lines, PlcFault, ::testing::Values(TLine::Udp, TLine::Tcp), Name);

using UdpFault = PlcFault;
using TcpFault = PlcFault;

// Answers that carry the identifier of an earlier request are not taken for the answer: the
// read fails with its log line and the line recovers.
TEST_P(UdpFault, WrongIdentifier)
{
    StartWorkingLine();
    ASSERT_EQ(Plc.Sim->Command("wrongid 2"), "ok");
    ASSERT_TRUE(WaitForLog(LineLog("Invalid MESI identifier"))) << Diagnosis();
    ASSERT_TRUE(WaitForSimCounter(Plc, "wrong-id", 2)) << Diagnosis();
    ExpectRecoveryWith("After");
}

INSTANTIATE_TEST_SUITE_P(Lines, UdpFault, ::testing::Values(TLine::Udp), Name);

// Answers that come late: within the read time-out they are waited for and taken; after it the
// socket is closed, so the late answer lands on a closed port or connection, and the next
// connection reads on. On UDP such an answer carries the identifier of its old request.
TEST_P(PlcFault, SlowAndLateAnswers)
{
    StartWorkingLine();
    const qsizetype closes = Log().count(LineLog("TCP Close"));
    ASSERT_EQ(Plc.Sim->Command("delay 500 3"), "ok");
    ASSERT_TRUE(WaitForSimCounter(Plc, "delayed", 3)) << Diagnosis();
    ASSERT_TRUE(Plc.WaitForReads()) << Diagnosis();
    EXPECT_EQ(Log().count(LineLog("TCP Close")), closes) << "an answer within the time-out is no failure";

    ASSERT_EQ(Plc.Sim->Command("delay 1700 2"), "ok");
    ASSERT_TRUE(WaitForSimCounter(Plc, "delayed", 5)) << Diagnosis();
    ExpectRecoveryWith("After");
    EXPECT_GE(Log().count(LineLog("TCP Close")), closes + 2);
}

// A TCP connection reset in the middle of an answer: the half answer is a failed read, the
// socket is closed, and the next connection reads on.
TEST_P(TcpFault, ResetInTheMiddleOfAnAnswer)
{
    StartWorkingLine();
    ASSERT_EQ(Plc.Sim->Command("reset 2"), "ok");
    ASSERT_TRUE(WaitForSimCounter(Plc, "reset", 2)) << Diagnosis();
    ExpectRecoveryWith("After");
    EXPECT_GE(Log().count(LineLog("TCP Close")), 2);
}

// Answers trickling in byte by byte, each byte its own segment: the read gathers them within its
// time-out, so nothing fails and no connection is closed.
TEST_P(TcpFault, AnswersTrickledByteByByte)
{
    StartWorkingLine();
    const qsizetype closes = Log().count(LineLog("TCP Close"));
    ASSERT_EQ(Plc.Sim->Command("trickle 3"), "ok");
    ASSERT_TRUE(Plc.Set("Message", "Trickled"));
    ASSERT_TRUE(WaitForSimCounter(Plc, "trickled", 3)) << Diagnosis();
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3)) << Diagnosis();
    ExpectRecoveryWith("After", {Welcome, "Before", "Trickled"});
    EXPECT_EQ(Log().count(LineLog("TCP Close")), closes);
}

INSTANTIATE_TEST_SUITE_P(Lines, TcpFault, ::testing::Values(TLine::Tcp), Name);
