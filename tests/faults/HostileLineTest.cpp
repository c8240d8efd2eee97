// The windowless vocator against a PLC peer that lies rather than fails: forged answers from
// other senders, answers doubled, corrupted or wrapped in junk, long texts that take several
// requests, and PUB files with mistakes in them. Whatever comes, nothing is spoken that the PLC
// did not write, every message it wrote is spoken once, and the line reads on.
#include "FaultTestSupport.h"

using namespace Faults;

namespace {

qint64 SimCounter(TPlcWithVocator& plc, const QString& name) { return Counter(plc.Sim->Command("stats"), name); }

struct TLineLie {
    const char* Name;
    TLine Line;
    const char* Command; // switches the lie on for a few answers
    const char* Counter; // the simulator's count of the answers it lied in
    qint64 Count;
    const char* Logged;  // what the master's log says about it
};

// "foreign" forges answers whose data are all 'F', with the right identifier and check sum:
// only the sender tells them apart.
const TLineLie LineLies[] = {
    {"ForgedFromAnotherPort", TLine::Udp, "foreign 4", "foreign-sent", 4, "dropped: not from"},
    {"ForgedFromAnotherAddress", TLine::Udp, "foreign 4 127.0.0.1", "foreign-sent", 4, "dropped: not from"},
    {"DuplicatedUdp", TLine::Udp, "duplicate 6", "duplicated", 6, ""},
    {"DuplicatedTcp", TLine::Tcp, "duplicate 6", "duplicated", 6, ""},
    {"WrongChecksumUdp", TLine::Udp, "badfcs 3", "corrupted", 3, "Answer dropped: wrong check sum"},
    {"WrongChecksumTcp", TLine::Tcp, "badfcs 3", "corrupted", 3, "Answer dropped: wrong check sum"},
    {"WrongStationUdp", TLine::Udp, "badstation 3", "corrupted", 3, "Answer dropped: from another station"},
    {"WrongStationTcp", TLine::Tcp, "badstation 3", "corrupted", 3, "Answer dropped: from another station"},
    {"WrongLengthUdp", TLine::Udp, "badlen 3", "corrupted", 3, "Answer dropped: broken frame"},
    {"WrongLengthTcp", TLine::Tcp, "badlen 3", "corrupted", 3, "Answer dropped: broken frame"},
    {"JunkDatagrams", TLine::Udp, "junk 5", "junk", 5, "Invalid MESI identifier"},
    {"JunkBetweenFrames", TLine::Tcp, "junk 5", "junk", 5, "Answer dropped: broken frame"},
};

class LineLie : public ::testing::TestWithParam<TLineLie> {
protected:
    LineLie() : Plc(GetParam().Line, PubText) {}
    std::string Diagnosis() { return "log:\n" + Plc.Vocator.Log().toStdString() + "\noutput:\n" + Plc.Vocator.Output().toStdString(); }

    TPlcWithVocator Plc;
};

} // namespace

// A message written while the PLC's answers lie is spoken once when a true answer brings it, the
// lies are logged, nothing of them is spoken, and a later message is spoken within the recovery
// bound.
TEST_P(LineLie, IsDroppedAndTheLineReadsOn)
{
    const TLineLie& lie = GetParam();
    Plc.StartSim();
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(Plc.Set("Message", "Before"));
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(2, PatientMs)) << Diagnosis();

    ASSERT_EQ(Plc.Sim->Command(lie.Command), "ok");
    ASSERT_TRUE(Plc.Set("Message", "During"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return SimCounter(Plc, lie.Counter) >= lie.Count; }, PatientMs)) << Diagnosis();
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << Diagnosis();
    EXPECT_TRUE(Plc.Vocator.Log().contains(QString::fromUtf8(lie.Logged))) << Diagnosis();

    ASSERT_TRUE(Plc.Set("Message", "After"));
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(4, RecoveryBoundMs)) << Diagnosis();
    ASSERT_TRUE(Plc.WaitForReads(PatientMs)) << Diagnosis();
    TestSupport::ServeEventsFor(500); // more ticks, which must speak nothing
    ASSERT_TRUE(Plc.Vocator.Running()) << Diagnosis();
    EXPECT_TRUE(Plc.Vocator.Stop()) << Diagnosis();
    EXPECT_EQ(Plc.Vocator.Spoken(), (QStringList{Welcome, "Before", "During", "After"}));
}

INSTANTIATE_TEST_SUITE_P(Lies, LineLie, ::testing::ValuesIn(LineLies),
                         [](const ::testing::TestParamInfo<TLineLie>& lie) { return std::string(lie.param.Name); });

using LongText = ::testing::TestWithParam<TLine>;

// A message variable longer than one answer frame is read in several requests: its text, longer
// than one frame too, is spoken whole, once, on either line.
TEST_P(LongText, LongerThanOneFrameIsSpokenWhole)
{
    TPlcWithVocator plc(GetParam(), "Counter R W 0 INT\r\nMessage R B 10 STRING[1000]\r\nLevel R W 1100 REAL\r\n");
    plc.StartSim();
    plc.StartVocator(Welcome);
    const QString first = QString(600, u'a') + u'z';
    const QString second = QString(300, u'b') + QString(300, u'c');
    ASSERT_TRUE(plc.Set("Message", first));
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(2, PatientMs)) << plc.Vocator.Log().toStdString();
    ASSERT_TRUE(plc.Set("Message", second));
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << plc.Vocator.Log().toStdString();
    ASSERT_TRUE(plc.WaitForReads());
    TestSupport::ServeEventsFor(500);
    EXPECT_TRUE(plc.Vocator.Stop());
    EXPECT_EQ(plc.Vocator.Spoken(), (QStringList{Welcome, first, second}));
}

INSTANTIATE_TEST_SUITE_P(Lines, LongText, ::testing::Values(TLine::Udp, TLine::Tcp), Name);

namespace {

struct TPubMistake {
    const char* Name;
    const char* Pub;    // the file served from the next connection on
    bool Loads;         // the rest of the file is loaded and read
    const char* Logged; // once, however often the file is fetched
};

const TPubMistake PubMistakes[] = {
    {"BrokenLine", "Counter R W 0 INT\r\nMessage R B 10 STRING[64]\r\nPump R B 10\r\nLevel R W 80 REAL\r\n", true,
     "PUB line 3 left out: Wrong line format:Pump R B 10"},
    {"EmptyAndCommentLines", "\r\n; comment\r\n\r\nMessage R B 10 STRING[64]\r\n   \r\n", true, ""},
    {"TagOutsideTheArea", "Message R B 10 STRING[64]\r\nFar R B 65530 STRING[40]\r\n", true,
     "PUB line 2 left out: tag Far lies outside the memory of area R (address 65530, 41 bytes)"},
    {"NoUsableTag", "Pump R B 10\r\nx1 r B 0 BOOL\r\n", false, "PUB file not loaded: no usable tag: PUB line 1 left out: Wrong line format:Pump R B 10"},
};

class PubMistake : public ::testing::TestWithParam<TPubMistake> {
protected:
    PubMistake() : Plc(TLine::Udp, PubText) {}
    std::string Diagnosis() { return "log:\n" + Plc.Vocator.Log().toStdString(); }

    TPlcWithVocator Plc;
};

} // namespace

// At a reconnection the PLC serves a PUB file with a mistake. A file that still has usable tags
// is loaded without the bad lines and the message is read on; one without is not loaded, the
// line is closed, and the file is fetched again at each connection, so that once the PLC serves
// a good file again the message is read without a restart. The mistake is logged once.
TEST_P(PubMistake, IsReportedOnceAndTheRestIsRead)
{
    const TPubMistake& mistake = GetParam();
    Plc.StartSim();
    Plc.StartVocator(Welcome);
    ASSERT_TRUE(Plc.Set("Message", "Before"));
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(2, PatientMs)) << Diagnosis();

    const QString file = Plc.Vocator.Dir().File("mistake.pub");
    TestSupport::WriteFileBytes(file, mistake.Pub);
    ASSERT_EQ(Plc.Sim->Command("pub file " + file), "ok");
    // A failed read makes the next connection fetch the file again; a file that is not loaded
    // is fetched again at every connection by itself.
    for (qsizetype downloads = 2; downloads <= 3; ++downloads) {
        if (mistake.Loads || downloads == 2) {
            ASSERT_EQ(Plc.Sim->Command("drop 1"), "ok");
        }
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return Plc.Downloads() >= downloads; }, PatientMs)) << Diagnosis();
    }
    if (!mistake.Loads) {
        ASSERT_EQ(Plc.Sim->Command("pub normal"), "ok");
    }
    ASSERT_TRUE(Plc.Set("Message", "After"));
    ASSERT_TRUE(Plc.Vocator.WaitForSpoken(3, RecoveryBoundMs)) << Diagnosis();
    ASSERT_TRUE(Plc.WaitForReads());
    EXPECT_TRUE(Plc.Vocator.Stop()) << Diagnosis();
    EXPECT_EQ(Plc.Vocator.Spoken(), (QStringList{Welcome, "Before", "After"}));
    if (*mistake.Logged) {
        EXPECT_EQ(Plc.Vocator.Log().count(QString::fromUtf8(mistake.Logged)), 1) << Diagnosis();
    }
}

INSTANTIATE_TEST_SUITE_P(Pub, PubMistake, ::testing::ValuesIn(PubMistakes),
                         [](const ::testing::TestParamInfo<TPubMistake>& mistake) { return std::string(mistake.param.Name); });
