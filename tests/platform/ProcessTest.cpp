#include "platform/Process.h"
#include "platform/Thread.h"
#include "TestSupport.h"
#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using TestSupport::TTempDir;

namespace {

struct TChildRun {
    int Error = 0;
    pid_t Pid = -1;
    QByteArray Output;
};

// Starts the program with an input that ends at once and collects its output to the end.
TChildRun RunChild(TProcessStartInfo info)
{
    TChildRun run;
    TPipe input, output;
    EXPECT_EQ(CreatePipe(input), 0);
    EXPECT_EQ(CreatePipe(output), 0);
    EXPECT_EQ(SetNonBlocking(output.ReadEnd.Get()), 0);
    info.StdInput = input.ReadEnd.Get();
    info.StdOutput = output.WriteEnd.Get();
    run.Error = StartProcess(info, &run.Pid);
    input = TPipe();
    output.WriteEnd.Close();
    if (run.Error != 0)
        return run;
    char buffer[4096];
    for (;;) {
        const TIoResult result = ReadPipe(output.ReadEnd.Get(), buffer, sizeof buffer, nullptr);
        if (result.Error != 0 || result.Bytes == 0)
            return run;
        run.Output.append(buffer, static_cast<qsizetype>(result.Bytes));
    }
}

TProcessStartInfo Program(const QByteArray& program, const QByteArray& commandLine,
                          const QList<QByteArray>& environment = {})
{
    TProcessStartInfo info;
    info.Program = program;
    info.CommandLine = commandLine;
    info.Environment = environment;
    return info;
}

// A signal mask line of /proc/<pid>/status, such as "SigIgn:\t0000000000001000".
quint64 SignalMask(const QByteArray& status, const QByteArray& name)
{
    for (const QByteArray& line : status.split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().toULongLong(nullptr, 16);
    return ~0ull;
}

quint64 SignalBit(int signal) { return 1ull << (signal - 1); }

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

} // namespace

// The first blank splits the command line into argv[0] and one argv[1] kept byte for byte, and a
// real child sees exactly that vector, with no shell in between.
TEST(Process, CommandLineBecomesTwoArguments)
{
    const struct {
        QByteArray commandLine;
        QList<QByteArray> arguments;
    } cases[] = {
        {"@ Dobr\xc3\xbd den", {"@", "Dobr\xc3\xbd den"}},
        {"@ ", {"@", ""}},
        {"@", {"@"}},
        {"", {""}},
        {"say  two; $(rm -rf x) | `id`", {"say", " two; $(rm -rf x) | `id`"}},
        {"a b c", {"a", "b c"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.commandLine), c.arguments) << c.commandLine.constData();

    const TChildRun run = RunChild(Program("/bin/cat", "@ /proc/self/cmdline"));
    ASSERT_EQ(run.Error, 0);
    EXPECT_EQ(run.Output, QByteArray("@\0/proc/self/cmdline\0", 21));
}

// The child gets exactly the given environment, in the given order, and nothing when it is empty.
TEST(Process, EnvironmentIsGivenExactly)
{
    EXPECT_EQ(RunChild(Program("/usr/bin/env", "env", {"B=2", "A=1 and more", "noequals"})).Output,
              "B=2\nA=1 and more\nnoequals\n");
    const TChildRun empty = RunChild(Program("/usr/bin/env", "env"));
    EXPECT_EQ(empty.Error, 0);
    EXPECT_EQ(empty.Output, "");
}

// A relative program is found from our current directory, while the child runs in its own
// working directory.
TEST(Process, RelativeProgramAndWorkingDirectory)
{
    TTempDir dir;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent("/"));
    TProcessStartInfo info = Program("bin/pwd", "pwd");
    info.WorkingDirectory = dir.Path().toLocal8Bit();
    const TChildRun run = RunChild(info);
    QDir::setCurrent(previous);
    ASSERT_EQ(run.Error, 0);
    EXPECT_EQ(QFileInfo(QString::fromLocal8Bit(run.Output.trimmed())).canonicalFilePath(),
              QFileInfo(dir.Path()).canonicalFilePath());
}

// A start that cannot happen reports the system's error and its text.
TEST(Process, StartFailuresGiveTheSystemError)
{
    TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("plain.txt"), "not a program");
    TProcessStartInfo missingDirectory = Program("/bin/true", "true");
    missingDirectory.WorkingDirectory = dir.File("absent").toLocal8Bit();
    const struct {
        TProcessStartInfo info;
        int error;
    } cases[] = {
        {Program(dir.File("missing").toLocal8Bit(), "missing"), ENOENT},
        {Program(dir.File("plain.txt").toLocal8Bit(), "plain"), EACCES},
        {Program(dir.Path().toLocal8Bit(), "dir"), EACCES},
        {missingDirectory, ENOENT},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunChild(c.info).Error, c.error) << c.info.Program.constData();
    EXPECT_EQ(SystemErrorMessage(ENOENT), "No such file or directory");
}

// An ended child is collected by the platform, so it does not stay behind as a zombie.
TEST(Process, EndedChildIsReaped)
{
    const TChildRun run = RunChild(Program("/bin/true", "true"));
    ASSERT_EQ(run.Error, 0);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return ProcessGone(run.Pid); }));
}

// The child starts with SIGPIPE at its default and nothing blocked, even when we ignore SIGPIPE,
// and with none of our descriptors beyond the standard three.
TEST(Process, ChildStartsWithCleanSignalsAndDescriptors)
{
    const int leaked = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 50);
    ASSERT_GE(leaked, 50);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    const QByteArray status = RunChild(Program("/bin/cat", "cat /proc/self/status")).Output;
    std::signal(SIGPIPE, previous);
    const QByteArray descriptors = RunChild(Program("/bin/ls", "ls /proc/self/fd")).Output;
    ::close(leaked);

    EXPECT_EQ(SignalMask(status, "SigIgn") & SignalBit(SIGPIPE), 0u) << status.constData();
    EXPECT_EQ(SignalMask(status, "SigBlk"), 0u) << status.constData();
    EXPECT_FALSE(descriptors.split('\n').contains(QByteArray::number(leaked))) << descriptors.constData();
}

// Pipe ends stay clear of the standard descriptors even when our standard input is closed.
TEST(Process, PipeEndsAvoidStandardDescriptors)
{
    const int savedInput = ::dup(STDIN_FILENO);
    ::close(STDIN_FILENO);
    TPipe pipe;
    const int error = CreatePipe(pipe);
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ASSERT_EQ(error, 0);
    EXPECT_GE(pipe.ReadEnd.Get(), 3);
    EXPECT_GE(pipe.WriteEnd.Get(), 3);
    EXPECT_NE(::fcntl(pipe.ReadEnd.Get(), F_GETFD) & FD_CLOEXEC, 0);
}

// A read that waits for a silent child and a write that waits on a full pipe both return when
// the cancel signal is raised from another thread.
TEST(Process, WaitsEndWhenCancelled)
{
    TPipe output;
    ASSERT_EQ(CreatePipe(output), 0);
    ASSERT_EQ(SetNonBlocking(output.ReadEnd.Get()), 0);
    TProcessStartInfo info = Program("/bin/sleep", "sleep 60");
    info.StdOutput = output.WriteEnd.Get();
    pid_t child = -1;
    ASSERT_EQ(StartProcess(info, &child), 0);
    output.WriteEnd.Close();

    TPipe full;
    ASSERT_EQ(CreatePipe(full), 0);
    ASSERT_EQ(SetNonBlocking(full.WriteEnd.Get()), 0);
    const QByteArray big(1 << 20, 'x');

    TCancelSignal cancel;
    ASSERT_TRUE(cancel.IsValid());
    TIoResult readResult, writeResult;
    std::thread reader([&] {
        char buffer[64];
        readResult = ReadPipe(output.ReadEnd.Get(), buffer, sizeof buffer, &cancel);
    });
    std::thread writer([&] {
        std::size_t done = 0;
        do {
            writeResult = WritePipe(full.WriteEnd.Get(), big.constData() + done, big.size() - done, &cancel);
            done += writeResult.Bytes;
        } while (writeResult.Error == 0 && done < std::size_t(big.size()));
    });
    SleepMs(200); // lets both threads reach their waits, so the signal has to wake them
    cancel.Raise();
    reader.join();
    writer.join();
    ::kill(child, SIGKILL);
    EXPECT_EQ(readResult.Error, ECANCELED);
    EXPECT_EQ(writeResult.Error, ECANCELED);
}

// Writing into a pipe whose reader has gone gives EPIPE instead of killing the process.
TEST(Process, BrokenPipeIsAnErrorNotASignal)
{
    TPipe pipe;
    ASSERT_EQ(CreatePipe(pipe), 0);
    ASSERT_EQ(SetNonBlocking(pipe.WriteEnd.Get()), 0);
    pipe.ReadEnd.Close();
    const TIoResult result = WritePipe(pipe.WriteEnd.Get(), "text", 4, nullptr);
    EXPECT_EQ(result.Error, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

