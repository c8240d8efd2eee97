#pragma once
// What every fault scenario shares: vocator against the simulator with a message variable among
// other tags, and the checks that the program came through a fault without losing or repeating
// a message.
#include "VocatorProcess.h"
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace Faults {

using TestSupport::TLine;
using TestSupport::TPlcWithVocator;

inline const char* const Welcome = "Vocator listens";

inline const char* const PubText = "Counter R W 0 INT ;cycles\r\n"
                                   "Message R B 10 STRING[64] ;text for the loudspeaker\r\n"
                                   "Alarm X B 0 .3 BOOL\r\n"
                                   "Level R W 80 REAL\r\n";

// Once a fault has worn off, the line is back within one read time-out (1 s), the pause after a
// closed socket (1.5 s), a new connection with its download and handshake, one read and one tick
// of the speech timer: about 3 s. The bound leaves room for a loaded machine and the sanitizers.
constexpr int RecoveryBoundMs = 12000;
// Long enough for any wait that does not measure recovery.
constexpr int PatientMs = 60000;

inline std::string Name(const ::testing::TestParamInfo<TLine>& info) { return TestSupport::LineName(info.param).toStdString(); }

class PlcFault : public ::testing::TestWithParam<TLine> {
protected:
    PlcFault() : Plc(GetParam(), PubText) {}

    QString Log() const { return Plc.Vocator.Log(); }
    std::string Diagnosis() { return "log:\n" + Log().toStdString() + "\noutput:\n" + Plc.Vocator.Output().toStdString(); }
    bool WaitForLog(const QString& text, int timeOut = PatientMs) const
    {
        return TestSupport::WaitUntil([&] { return Log().contains(text); }, timeOut);
    }
    // A line of the master's log as written: device name, TAB, text, line end.
    QString LineLog(const QString& text) const { return Plc.DeviceName() + u'\t' + text; }

    // The running program with the welcome text and a first message spoken: the line works.
    void StartWorkingLine(const QStringList& simArguments = {})
    {
        Plc.StartSim(simArguments);
        Plc.StartVocator(Welcome);
        ASSERT_TRUE(Plc.Set("Message", "Before"));
        ASSERT_TRUE(Plc.Vocator.WaitForSpoken(2, PatientMs)) << Diagnosis();
    }
    // A new message after the fault is spoken within the recovery bound, and then the program
    // speaks nothing more, stops on SIGTERM with status 0, and spoke every message once in order.
    void ExpectRecoveryWith(const QString& message, const QStringList& spokenBefore = {Welcome, "Before"})
    {
        QElapsedTimer recovery;
        recovery.start();
        ASSERT_TRUE(Plc.Set("Message", message));
        ASSERT_TRUE(Plc.Vocator.WaitForSpoken(spokenBefore.size() + 1, RecoveryBoundMs)) << Diagnosis();
        EXPECT_LE(recovery.elapsed(), RecoveryBoundMs);
        ASSERT_TRUE(Plc.WaitForReads(PatientMs)) << Diagnosis();
        TestSupport::ServeEventsFor(500); // more ticks, which must speak nothing
        ASSERT_TRUE(Plc.Vocator.Running()) << Diagnosis();
        EXPECT_TRUE(Plc.Vocator.Stop()) << Diagnosis();
        EXPECT_EQ(Plc.Vocator.Spoken(), spokenBefore + QStringList{message});
    }

    TPlcWithVocator Plc;
};

} // namespace Faults
