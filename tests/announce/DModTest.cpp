#include "announce/DMod.h"
#include "announce/ExternalScripting.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/ApplicationEvents.h"
#include "platform/Timer.h"
#include "RecordedRuns.h"
#include "TestSupport.h"
#include <QTimer>
#include <gtest/gtest.h>

using TestSupport::ReadRecordedRuns;
using TestSupport::TTempDir;

namespace {

// The data module reading a test's own ini file instead of the one beside the executable.
std::unique_ptr<TDM> DataModuleOn(const QString& iniFile)
{
    auto dm = std::make_unique<TDM>();
    dm->SetModuleIniFileName(iniFile);
    return dm;
}

// A data module in a fresh folder: its ini file, its log file, a recording speech program.
class DataModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDefaultFileName(Dir.File("vocator.log"));
        qputenv("RECORD_FILE", Dir.File("runs.txt").toLocal8Bit());
        qunsetenv("RECORD_SLEEP_MS");
    }
    void TearDown() override
    {
        qunsetenv("RECORD_FILE");
        qunsetenv("RECORD_SLEEP_MS");
    }

    std::unique_ptr<TDM> Create(const QByteArray& ini)
    {
        TestSupport::WriteFileBytes(Dir.File("vocator.ini"), ini);
        auto dm = DataModuleOn(Dir.File("vocator.ini"));
        dm->InitModule(QString(), QStringLiteral("DB"));
        return dm;
    }
    QByteArray Ini(const QByteArray& common, const QString& sayExe = QStringLiteral(RECORD_ARGS_PATH)) const
    {
        return "[common]\n" + common + "\n[TTS]\nSAY_EXE=" + sayExe.toUtf8() + "\n";
    }
    QList<QStringList> Runs() const { return ReadRecordedRuns(Dir.File("runs.txt")); }
    QByteArray Log() const { return TestSupport::ReadFileBytes(Dir.File("vocator.log")); }

    TTempDir Dir;
    TLogSystemScope LogSystem;
};

} // namespace

// The welcome text is spoken at the first tick with "@" and the text as the two arguments.
TEST_F(DataModule, SpeaksWelcomeTextAtFirstTick)
{
    auto dm = Create(Ini("timer=50\nWelcomeMsg=Dobrý den; $(rm -rf /) | x"));
    EXPECT_EQ(dm->TimerInterval(), 50);
    EXPECT_EQ(dm->SlowTimerInterval(), 10000);
    EXPECT_EQ(dm->Say_EXE->ExternalScriptor(), RECORD_ARGS_PATH);
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 1 && dm->LastFinished != 0; }));
    EXPECT_EQ(Runs()[0], (QStringList{"@", QString::fromUtf8("Dobrý den; $(rm -rf /) | x")}));
    EXPECT_TRUE(Log().contains("\tWork Opened\r\n"));
    EXPECT_TRUE(dm->Working());
    dm->FinalizeModule();
    EXPECT_FALSE(dm->Working());
    EXPECT_TRUE(Log().contains("\tWork Closed\r\n"));
}

// Without a welcome text the first tick still runs the speech program, with an empty text.
TEST_F(DataModule, EmptyWelcomeStillRuns)
{
    auto dm = Create(Ini("timer=20"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 1; }));
    EXPECT_EQ(Runs()[0].value(0), "@");
    EXPECT_EQ(Runs()[0].value(1), "");
}

// Messages queued while the speech program runs are spoken afterwards in arrival order, one per
// tick; while a tick runs the module reports not working.
TEST_F(DataModule, QueuedMessagesKeepTheirOrder)
{
    qputenv("RECORD_SLEEP_MS", "300");
    auto dm = Create(Ini("timer=20\nWelcomeMsg=first"));
    bool workingDuringTick = true;
    QTimer::singleShot(150, [&] {
        workingDuringTick = dm->Working();
        dm->Say("second", 0);
        dm->Say("third", 0);
        dm->Say("fourth", 0);
    });
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 4; }, 20000));
    EXPECT_FALSE(workingDuringTick);
    QStringList spoken;
    for (const QStringList& run : Runs())
        spoken << run.value(1);
    EXPECT_EQ(spoken, (QStringList{"first", "second", "third", "fourth"}));
    EXPECT_EQ(Log().count("Work Opened"), 1);
}

// A missing speech program fails the tick: the message is dropped, the exception goes to the
// application's handler, "Work Closed" is logged and the slow interval applies; the next tick
// with an empty queue succeeds again.
TEST_F(DataModule, MissingSpeechProgramSlowsDownAndRecovers)
{
    QStringList reported;
    const int subscription = ApplicationEvents::Subscribe(
        [&](QObject* sender, const Exception*& error) { reported << sender->objectName() + "|" + error->ClassName() + "|" + error->Message(); },
        nullptr);
    auto dm = Create(Ini("timer=30\nSlowTimer=200\nWelcomeMsg=lost", Dir.File("no-such-say")));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return !reported.isEmpty(); }));
    EXPECT_EQ(reported[0], "Timer|EScriptingException|Create process " + Dir.File("no-such-say") + " failed:No such file or directory");
    EXPECT_EQ(dm->Timer->Interval(), 200);
    EXPECT_TRUE(dm->Working());
    EXPECT_TRUE(dm->SayBuffer().empty());
    EXPECT_EQ(dm->LastFinished, 0);
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return dm->LastFinished != 0; }));
    EXPECT_EQ(dm->Timer->Interval(), 30);
    EXPECT_EQ(reported.size(), 1);
    const QByteArray log = Log();
    EXPECT_LT(log.indexOf("Work Opened"), log.indexOf("Work Closed"));
    EXPECT_EQ(log.count("Work Opened"), 2);
    ApplicationEvents::Unsubscribe(subscription);
}

// Stop only marks a pause in the log: speaking resumes at the next tick; Start while work is
// open logs nothing.
TEST_F(DataModule, StopAndStartMarkThePause)
{
    auto dm = Create(Ini("timer=20\nWelcomeMsg=one"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 1; }));
    dm->Start();
    EXPECT_EQ(Log().count("Work Opened"), 1);
    dm->Stop();
    EXPECT_EQ(Log().count("Work Closed"), 1);
    dm->Say("two", 0);
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 2; }));
    EXPECT_EQ(Log().count("Work Opened"), 2);
}

// A missing or garbled ini file gives the defaults.
TEST_F(DataModule, GarbledIniGivesDefaults)
{
    TestSupport::WriteFileBytes(Dir.File("vocator.ini"), QByteArray("\x00\xff[common\ntimer=abc\n=\n[[[", 22));
    TDM dm;
    dm.SetModuleIniFileName(Dir.File("vocator.ini"));
    dm.InitModule(QString(), QString());
    EXPECT_EQ(dm.TimerInterval(), 10000);
    EXPECT_EQ(dm.SlowTimerInterval(), 10000);
    EXPECT_TRUE(dm.Say_EXE->ExternalScriptor().endsWith("/say"));
    EXPECT_EQ(dm.SayBuffer().size(), 1u);
    dm.FinalizeModule();
}

// Tick intervals and the speech program's time limit outside their ranges are held in them, with
// one warning line each, instead of a timer that never fires.
TEST_F(DataModule, OutOfRangeTimesAreHeldInRange)
{
    auto dm = Create("[common]\ntimer=0\nSlowTimer=2000000000\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\nSAY_TIMEOUT=-1\n");
    EXPECT_EQ(dm->TimerInterval(), TDM::MinTimerInterval);
    EXPECT_EQ(dm->SlowTimerInterval(), TDM::MaxTimerInterval);
    EXPECT_EQ(dm->Say_EXE->TimeLimit(), TDM::MinSayTimeout);
    EXPECT_EQ(Log().count(" ms; "), 3);
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Runs().size() == 1; }));
    dm->FinalizeModule();
}

// A full queue drops its oldest message for each new one and says so, so that a PLC that writes
// faster than the timer speaks cannot fill the memory.
TEST_F(DataModule, FullQueueDropsTheOldest)
{
    auto dm = Create(Ini("timer=3600000\nWelcomeMsg=welcome"));
    for (int i = 0; i < 1005; ++i)
        dm->Say(QStringLiteral("m%1").arg(i), 0);
    ASSERT_EQ(dm->SayBuffer().size(), TDM::MaxSayQueue);
    EXPECT_EQ(dm->SayBuffer().front().Message, "m5");
    EXPECT_EQ(dm->SayBuffer().back().Message, "m1004");
    EXPECT_EQ(Log().count("Speech queue full (1000 messages), the oldest dropped: welcome"), 1);
    EXPECT_EQ(Log().count("Speech queue full"), 1);
    dm->FinalizeModule();
}
