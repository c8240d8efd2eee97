#include "announce/ExternalScripting.h"
#include "RecordedRuns.h"
#include "TestSupport.h"
#include "platform/ApplicationEvents.h"
#include "platform/CodePage.h"
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

using TestSupport::TTempDir;
using TestSupport::WaitUntil;

namespace {

struct TEventCounts {
    int ThreadsCreated = 0;
    int CompleteWrite = 0;
    int Complete = 0;
    bool ProcessingAtComplete = true;
};

void CountEvents(TCustomExternalScripting& runner, TEventCounts& counts)
{
    runner.OnThreadsCreated = [&counts](QObject*) { ++counts.ThreadsCreated; };
    runner.OnCompleteWrite = [&counts](QObject*) { ++counts.CompleteWrite; };
    runner.OnComplete = [&counts, &runner](QObject* sender) {
        EXPECT_EQ(sender, &runner);
        ++counts.Complete;
        counts.ProcessingAtComplete = runner.ProcessingScripting();
    };
}

class TAnsiCodePageScope {
public:
    explicit TAnsiCodePageScope(const QString& name) : FPrevious(AnsiCodePage().Name()) { SetAnsiCodePage(name); }
    ~TAnsiCodePageScope() { SetAnsiCodePage(FPrevious); }
    TAnsiCodePageScope(const TAnsiCodePageScope&) = delete;
    TAnsiCodePageScope& operator=(const TAnsiCodePageScope&) = delete;

private:
    QString FPrevious;
};

// Kills the child whose shell wrote its process id into the file; false until the file is there.
bool KillChildOf(const QString& pidFile)
{
    const QByteArray pid = TestSupport::ReadFileBytes(pidFile).trimmed();
    return !pid.isEmpty() && ::kill(pid.toInt(), SIGKILL) == 0;
}

// Gone, or a zombie that waits for a parent to collect it: it runs no more.
bool ProcessEnded(pid_t pid)
{
    const QByteArray stat = TestSupport::ReadFileBytes(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype name = stat.lastIndexOf(')');
    return ::kill(pid, 0) != 0 || (name > 0 && stat.mid(name + 2, 1) == "Z");
}

class ExternalScripting : public ::testing::Test {
protected:
    QString Script(const QString& name, const QByteArray& body) { return TestSupport::WriteScript(FDir.File(name), body); }
    // A child that says it started and then keeps its output open until it is killed.
    QString NeverEndingScript()
    {
        return Script("hang", "echo $$ > '" + FDir.File("pid").toLocal8Bit() + "'\necho started\nexec /bin/sleep 120\n");
    }
    void KillNeverEndingChild() { EXPECT_TRUE(WaitUntil([this] { return KillChildOf(FDir.File("pid")); })); }

    TTempDir FDir;
};

QStringList CzechLines(int count)
{
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << QStringLiteral("%1 Příliš žluťoučký kůň úpěl ďábelské ódy").arg(i);
    return lines;
}

} // namespace

// Text fed to a program that echoes its input comes back unchanged, whatever the block size,
// also when it is far larger than a pipe holds and characters straddle blocks.
TEST_F(ExternalScripting, SourceComesBackFromAnEchoingProgram)
{
    const struct {
        int blockSize;
        int lines;
    } cases[] = {{1024, 6000}, {7, 2000}, {1, 500}, {0, 200}, {1 << 30, 6000}};
    const QString echo = Script("echo", "exec /bin/cat\n");
    for (const auto& c : cases) {
        TExternalScripting runner;
        TEventCounts counts;
        CountEvents(runner, counts);
        runner.SetExternalScriptor(echo);
        runner.SetCommandLine("echo");
        runner.SetWaitForCompleteRead(true);
        runner.SetBlockSize(c.blockSize);
        runner.SetSource(CzechLines(c.lines));
        EXPECT_EQ(runner.ExecScript(), 0);
        EXPECT_FALSE(runner.ProcessingScripting());
        EXPECT_EQ(runner.Product(), CzechLines(c.lines)) << c.blockSize;
        EXPECT_EQ(counts.ThreadsCreated, 1);
        EXPECT_EQ(counts.Complete, 1);
        EXPECT_FALSE(counts.ProcessingAtComplete);
        EXPECT_TRUE(WaitUntil([&] { return counts.CompleteWrite == 1; }));
    }
}

// A program that writes nothing gives an empty Product and still completes; the run's duration
// is kept afterwards.
TEST_F(ExternalScripting, SilentProgramStillCompletes)
{
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    EXPECT_EQ(runner.ScriptingTime(), 0);
    runner.SetExternalScriptor(Script("silent", "/bin/sleep 0.1\n"));
    runner.SetWaitForCompleteRead(true);
    runner.SetSource({"ignored"});
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_TRUE(runner.Product().isEmpty());
    EXPECT_EQ(counts.Complete, 1);
    EXPECT_GT(runner.ScriptingTime(), 0);
    const qint64 duration = runner.ScriptingTime();
    TestSupport::ServeEventsFor(50);
    EXPECT_EQ(runner.ScriptingTime(), duration);
}

// A program that is not there raises the start failure with the system's text, or returns 5
// without exceptions; either way nothing runs and no event comes.
TEST_F(ExternalScripting, MissingProgram)
{
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    const QString missing = FDir.File("no such program");
    runner.SetExternalScriptor(missing);
    try {
        runner.ExecScript();
        ADD_FAILURE() << "no exception";
    } catch (const EScriptingException& error) {
        EXPECT_EQ(error.Message(), "Create process " + missing + " failed:No such file or directory");
        EXPECT_EQ(error.ClassName(), "EScriptingException");
    }
    EXPECT_FALSE(runner.ProcessingScripting());
    runner.SetRaiseExceptions(false);
    EXPECT_EQ(runner.ExecScript(), errCreateProcess);
    EXPECT_FALSE(runner.ProcessingScripting());
    TestSupport::ServeEventsFor(50);
    EXPECT_EQ(counts.ThreadsCreated + counts.Complete + counts.CompleteWrite, 0);
}

// Without waiting, ExecScript returns at once and the run stays in progress until the output
// closes; a second run meanwhile returns 6, and the run's settings cannot change.
TEST_F(ExternalScripting, RunInProgressRefusesASecondOne)
{
    const QString go = FDir.File("go");
    const QString program =
        Script("waiting", "while [ ! -e '" + go.toLocal8Bit() + "' ]; do /bin/sleep 0.02; done\necho done\n");
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    runner.SetExternalScriptor(program);
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_TRUE(runner.ProcessingScripting());

    EXPECT_EQ(runner.ExecScript(), errProcessingScripting);
    runner.SetExternalScriptor("/elsewhere");
    runner.SetBlockSize(5);
    runner.SetWaitForCompleteRead(true);
    EXPECT_EQ(runner.ExternalScriptor(), program);
    EXPECT_EQ(runner.BlockSize(), 1024);
    EXPECT_FALSE(runner.WaitForCompleteRead());
    TestSupport::ServeEventsFor(200);
    EXPECT_TRUE(runner.ProcessingScripting());
    EXPECT_EQ(counts.Complete, 0);

    TestSupport::WriteFileBytes(go, "");
    ASSERT_TRUE(WaitUntil([&] { return !runner.ProcessingScripting(); }));
    EXPECT_EQ(runner.Product(), QStringList{"done"});
    EXPECT_EQ(counts.ThreadsCreated, 1);
    EXPECT_EQ(counts.Complete, 1);
}

// Megabytes of output are read to their end, and only the first MaxProductBytes of them kept.
TEST_F(ExternalScripting, TalkativeProgramIsReadToTheEndAndKeptBounded)
{
    TExternalScripting runner;
    runner.SetExternalScriptor(Script("talk", "/usr/bin/yes 'line of output 0123456789' | /usr/bin/head -n 300000\n"));
    runner.SetWaitForCompleteRead(true);
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(runner.LastOutcome().Kind, TRunOutcome::rkExited);
    EXPECT_EQ(runner.LastOutcome().Code, 0);
    EXPECT_EQ(runner.Product().value(0), "line of output 0123456789");
    EXPECT_LE(runner.Product().join(u'\n').size(), MaxProductBytes);
    EXPECT_GE(runner.Product().size(), MaxProductBytes / 26 - 1);
}

// A run's outcome is the program's exit status or the signal that killed it; anything but an
// exit status of 0 is a failed run.
TEST_F(ExternalScripting, OutcomeCountsTheExitStatus)
{
    const struct {
        QByteArray body;
        TRunOutcome::TKind kind;
        int code;
        bool failed;
    } cases[] = {
        {"exit 0\n", TRunOutcome::rkExited, 0, false},
        {"exit 3\n", TRunOutcome::rkExited, 3, true},
        {"exec 1>&-\n/bin/sleep 0.3\nexit 4\n", TRunOutcome::rkExited, 4, true},
        {"kill -KILL $$\n", TRunOutcome::rkSignalled, SIGKILL, true},
    };
    for (const auto& c : cases) {
        TExternalScripting runner;
        runner.SetExternalScriptor(Script("ends", c.body));
        runner.SetWaitForCompleteRead(true);
        EXPECT_EQ(runner.ExecScript(), 0);
        EXPECT_EQ(runner.LastOutcome().Kind, c.kind) << c.body.constData();
        EXPECT_EQ(runner.LastOutcome().Code, c.code) << c.body.constData();
        EXPECT_EQ(runner.LastOutcome().Failed(), c.failed) << c.body.constData();
    }
}

// Past its time limit a run ends its program's whole process group, also a process it left behind
// on its output, and does not wait for a process outside the group that still holds the output.
TEST_F(ExternalScripting, TimeLimitEndsTheProcessGroup)
{
    const QString inGroup = FDir.File("in-group");
    const QString outside = FDir.File("outside");
    TExternalScripting runner;
    runner.SetExternalScriptor(Script("leaves two", "/bin/sleep 600 &\necho $! > '" + inGroup.toLocal8Bit() +
                                                        "'\n/usr/bin/setsid /bin/sh -c 'echo $$ > \"" + outside.toLocal8Bit() +
                                                        "\"; exec /bin/sleep 600' &\nexit 0\n"));
    runner.SetWaitForCompleteRead(true);
    runner.SetTimeLimit(500);
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(runner.LastOutcome().Kind, TRunOutcome::rkTimedOut);
    EXPECT_TRUE(runner.LastOutcome().Failed());
    EXPECT_FALSE(runner.ProcessingScripting());
    const pid_t left = TestSupport::ReadFileBytes(inGroup).trimmed().toInt();
    ASSERT_GT(left, 0);
    EXPECT_TRUE(WaitUntil([&] { return ProcessEnded(left); }));
    EXPECT_TRUE(KillChildOf(outside));
}

// The command line reaches the program as argv[0] before the first blank and one argv[1] after
// it, unchanged: no shell sees the text.
TEST_F(ExternalScripting, CommandLineArrivesAsTwoArguments)
{
    const struct {
        QString commandLine;
        QStringList arguments;
    } cases[] = {
        {"@ text with  two blanks; $(rm -rf x) | `id` > out", {"@", "text with  two blanks; $(rm -rf x) | `id` > out"}},
        {"@ ", {"@", ""}},
        {"@", {"@"}},
        {"@  Dobrý den", {"@", " Dobrý den"}},
    };
    const QString record = FDir.File("record");
    TExternalScripting runner;
    runner.SetExternalScriptor(RECORD_ARGS_PATH);
    runner.SetParameters({"RECORD_FILE=" + record});
    runner.SetWaitForCompleteRead(true);
    QList<QStringList> expected;
    for (const auto& c : cases) {
        runner.SetCommandLine(c.commandLine);
        EXPECT_EQ(runner.ExecScript(), 0);
        expected << c.arguments;
    }
    EXPECT_EQ(TestSupport::ReadRecordedRuns(record), expected);
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(RECORD_ARGS_PATH).dir().filePath("out")));
}

// Command line and environment go to the program in the ANSI code page, and its output comes
// back from it; a character the code page lacks arrives as "?".
TEST_F(ExternalScripting, TextCrossesInTheAnsiCodePage)
{
    const TAnsiCodePageScope codePage("windows-1250");
    const QString text = "Příliš žluťoučký kůň – 日本";
    const QString record = FDir.File("record");
    TExternalScripting runner;
    runner.SetExternalScriptor(RECORD_ARGS_PATH);
    runner.SetParameters({"RECORD_FILE=" + record, "RECORD_OUTPUT=" + text});
    runner.SetWaitForCompleteRead(true);
    runner.SetCommandLine("@ " + text);
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(TestSupport::ReadFileBytes(record), "@\x1F" "P\xf8\xedli\x9a \x9elu\x9dou\xe8k\xfd k\xf9\xf2 \x96 ??\x1F\n");
    EXPECT_EQ(runner.Product(), QStringList{"Příliš žluťoučký kůň – ??"});
}

// The program gets Parameters as its whole environment, sorted without regard to case, each
// entry trimmed, empty ones left out; an empty list gives an empty environment.
TEST_F(ExternalScripting, EnvironmentComesFromParameters)
{
    TExternalScripting runner;
    EXPECT_TRUE(runner.Parameters().contains("PATH=" + qEnvironmentVariable("PATH")));
    runner.SetExternalScriptor("/usr/bin/env");
    runner.SetCommandLine("env");
    runner.SetWaitForCompleteRead(true);
    runner.SetParameters({"ZED=last", " b_var=2 \t", "A=1", "", "a2=x y", "Č=ž"});
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(runner.Product(), (QStringList{"b_var=2", "a2=x y", "A=1", "ZED=last", "Č=ž"}));
    EXPECT_EQ(runner.Parameters(), (QStringList{"", " b_var=2 \t", "a2=x y", "A=1", "ZED=last", "Č=ž"}));

    runner.SetParameters({});
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_TRUE(runner.Product().isEmpty());
}

// The program runs in its own folder.
TEST_F(ExternalScripting, ProgramRunsInItsFolder)
{
    TExternalScripting runner;
    runner.SetExternalScriptor(Script("where", "/bin/pwd\n"));
    runner.SetWaitForCompleteRead(true);
    EXPECT_EQ(runner.ExecScript(), 0);
    ASSERT_EQ(runner.Product().size(), 1);
    EXPECT_EQ(QFileInfo(runner.Product()[0]).canonicalFilePath(), QFileInfo(FDir.Path()).canonicalFilePath());
}

// While the runner waits for a program that keeps its output open, the main thread's timers keep
// firing, and a second run asked for from one of them is refused; the wait ends when the
// program is killed.
TEST_F(ExternalScripting, WaitKeepsTheMainThreadServing)
{
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    runner.SetExternalScriptor(NeverEndingScript());
    runner.SetWaitForCompleteRead(true);
    int ticks = 0;
    int secondRun = -1;
    bool killed = false;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 3)
            secondRun = runner.ExecScript();
        if (ticks >= 5 && !killed)
            killed = KillChildOf(FDir.File("pid"));
        if (ticks > 1500)
            runner.CancelScripting();
    });
    timer.start();
    EXPECT_EQ(runner.ExecScript(), 0);
    timer.stop();
    EXPECT_TRUE(killed);
    EXPECT_GE(ticks, 5);
    EXPECT_EQ(secondRun, errProcessingScripting);
    EXPECT_EQ(runner.Product(), QStringList{"started"});
    EXPECT_EQ(counts.Complete, 1);
}

// An OnComplete handler that cancels waits for the writer, whose hand-over is queued behind the
// reader's: it must be served there, or the wait never ends.
TEST_F(ExternalScripting, CancelInOnCompleteServesTheQueuedWriter)
{
    TExternalScripting runner;
    runner.SetExternalScriptor(Script("late reader", "exec 1>&-\n/bin/sleep 0.3\nexec /bin/cat > /dev/null\n"));
    runner.SetSource(CzechLines(5000));
    bool completed = false;
    bool rescued = false;
    QEventLoop loop;
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] {
        rescued = true;
        QCoreApplication::sendPostedEvents();
    });
    runner.OnComplete = [&](QObject*) {
        rescue.start(5000);
        runner.CancelScripting();
        completed = true;
        loop.quit();
    };
    EXPECT_EQ(runner.ExecScript(), 0);
    SleepMs(1000); // both pipe threads queue their hand-overs meanwhile, the reader's first
    loop.exec();
    EXPECT_TRUE(completed);
    EXPECT_FALSE(rescued);
}

// Cancelling returns at once although the program neither reads its large input nor closes its
// output, raises no event, and leaves the runner ready for the next run.
TEST_F(ExternalScripting, CancelUnblocksBothPipeThreads)
{
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    runner.SetExternalScriptor(NeverEndingScript());
    runner.SetSource(CzechLines(20000));
    EXPECT_EQ(runner.ExecScript(), 0);
    TestSupport::ServeEventsFor(200);
    runner.CancelScripting();
    EXPECT_FALSE(runner.ProcessingScripting());
    EXPECT_GE(runner.ScriptingTime(), 0);
    KillNeverEndingChild();
    TestSupport::ServeEventsFor(100);
    EXPECT_EQ(counts.Complete + counts.CompleteWrite, 0);

    runner.SetExternalScriptor(Script("echo", "exec /bin/cat\n"));
    runner.SetSource({"again"});
    runner.SetWaitForCompleteRead(true);
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(runner.Product(), QStringList{"again"});
}

// Destroying a runner whose program never closes its output returns, and nothing calls back.
TEST_F(ExternalScripting, DestructionDuringARunReturns)
{
    TEventCounts counts;
    {
        TExternalScripting runner;
        CountEvents(runner, counts);
        runner.SetExternalScriptor(NeverEndingScript());
        EXPECT_EQ(runner.ExecScript(), 0);
        TestSupport::ServeEventsFor(100);
    }
    KillNeverEndingChild();
    TestSupport::ServeEventsFor(100);
    EXPECT_EQ(counts.Complete, 0);
}

// A program that ends without reading its large input neither kills us nor loses its output;
// only the unfinished write goes unreported.
TEST_F(ExternalScripting, ProgramThatIgnoresItsInput)
{
    TExternalScripting runner;
    TEventCounts counts;
    CountEvents(runner, counts);
    runner.SetExternalScriptor(Script("rude", "echo bye\n"));
    runner.SetWaitForCompleteRead(true);
    runner.SetSource(CzechLines(100000));
    EXPECT_EQ(runner.ExecScript(), 0);
    EXPECT_EQ(runner.Product(), QStringList{"bye"});
    TestSupport::ServeEventsFor(200);
    EXPECT_EQ(counts.CompleteWrite, 0);
    EXPECT_EQ(counts.Complete, 1);
}

// An exception from an OnComplete handler reaches the application's exception handling, and the
// runner is idle again.
TEST_F(ExternalScripting, HandlerExceptionGoesToTheApplication)
{
    QString reported;
    const int subscription = ApplicationEvents::Subscribe(
        [&reported](QObject*, const Exception*& error) {
            reported = error->Message();
            error = nullptr;
        },
        nullptr);
    TExternalScripting runner;
    runner.SetExternalScriptor(Script("silent", "exit 0\n"));
    runner.SetWaitForCompleteRead(true);
    runner.OnComplete = [](QObject*) { throw EScriptingException("handler failed"); };
    EXPECT_EQ(runner.ExecScript(), 0);
    ApplicationEvents::Unsubscribe(subscription);
    EXPECT_EQ(reported, "handler failed");
    EXPECT_FALSE(runner.ProcessingScripting());
}

// A runner destroyed by its own OnComplete handler during a waiting run is not touched again.
TEST_F(ExternalScripting, RunnerDestroyedByItsHandler)
{
    auto* runner = new TExternalScripting;
    QPointer<TExternalScripting> watch(runner);
    runner->SetExternalScriptor(Script("silent", "echo last words\n"));
    runner->SetWaitForCompleteRead(true);
    runner->OnComplete = [runner](QObject*) { delete runner; };
    EXPECT_EQ(runner->ExecScript(), 0);
    EXPECT_TRUE(watch.isNull());
}

// The runner classes keep their own names for the code that prints them.
TEST(ExternalScriptingNames, ClassNames)
{
    TExternalScripting runner;
    EXPECT_STREQ(runner.metaObject()->className(), "TExternalScripting");
    EXPECT_STREQ(runner.metaObject()->superClass()->className(), "TCustomExternalScripting");
    EXPECT_STREQ(runner.metaObject()->superClass()->superClass()->className(), "TCustomScripting");
}
