#include "app/StartUp.h"
#include "announce/ExternalScripting.h"
#include "app/PlcLoopbackCheck.h"
#include "common/kxtools.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include "platform/VersionInfo.h"
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

bool FindCmdLineSwitch(const QStringList& arguments, const QString& name)
{
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (arguments[i].startsWith(u'/') && arguments[i].mid(1).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

void WriteVersionsFile()
{
    const QString versions = QStringLiteral("versions.txt");
    // Modules initialised after the log system, in their order, then the program itself.
    for (const char* module : {"VersionInfo.cpp", "DMod.cpp", "Vocator.cpp"})
        WriteToFile(VersionIdLine(QString::fromLatin1(module)), versions);
    WriteToFile(QString(), versions);
}

namespace {

constexpr int SpeechCheckTimeoutMs = 60000;

void PrintCheckLine(const QString& check, const char* outcome, const QString& detail)
{
    std::printf("selftest: %s: %s%s\n", qPrintable(check), outcome, detail.isEmpty() ? "" : qPrintable(" (" + detail + ")"));
    std::fflush(stdout);
}

bool Report(const QString& check, bool ok, const QString& detail)
{
    PrintCheckLine(check, ok ? "ok" : "FAILED", detail);
    return ok;
}

// A check that cannot run here is reported as skipped and does not fail the self-test.
bool Report(const QString& check, const TCheckResult& result)
{
    if (result.Status == TCheckResult::csSkipped) {
        PrintCheckLine(check, "skipped", result.Detail);
        return true;
    }
    return Report(check, result.Status == TCheckResult::csPassed, result.Detail);
}

bool CheckLogFile()
{
    const QString file = DefaultFileName();
    const qint64 before = QFileInfo(file).size();
    WriteToFile(QStringLiteral("Self-test: log file check"));
    const QFileInfo after(file);
    return Report(QStringLiteral("log file"), after.exists() && after.size() > before, file);
}

// Runs the configured speech program with an empty text, which speaks nothing, and waits until
// it has closed its output, within a bound so that a hanging program fails the check.
bool CheckSpeechProgram()
{
    const TIniFile ini(ChangeFileExt(ExecutablePath(), QStringLiteral(".ini")));
    TExternalScripting runner;
    runner.SetExternalScriptor(ParsePath(ini.ReadString(QStringLiteral("TTS"), QStringLiteral("SAY_EXE"), QStringLiteral("($APPLICATION$)/say"))));
    runner.SetCommandLine(QStringLiteral("@ "));
    runner.SetWaitForCompleteRead(false);
    const QString check = QStringLiteral("speech program");
    try {
        runner.ExecScript();
    } catch (const Exception& e) {
        return Report(check, false, e.Message());
    }
    QElapsedTimer clock;
    clock.start();
    QTimer heartbeat;
    heartbeat.start(100);
    ProcessEventsUntil([&] { return !runner.ProcessingScripting() || clock.elapsed() > SpeechCheckTimeoutMs; });
    const bool finished = !runner.ProcessingScripting();
    if (!finished)
        runner.CancelScripting();
    return Report(check, finished, finished ? runner.ExternalScriptor() : QStringLiteral("no end of output within 60 s"));
}

} // namespace

int RunSelfTest()
{
    int failed = 0;
    failed += CheckLogFile() ? 0 : 1;
    failed += CheckSpeechProgram() ? 0 : 1;
    for (const QString& line : {QStringLiteral("UDP"), QStringLiteral("TCP")})
        failed += Report(QStringLiteral("PLC loopback over ") + line, CheckPlcLoopback(line)) ? 0 : 1;
    std::printf("selftest: %s\n", failed ? qPrintable(QString::number(failed) + " check(s) failed") : "all checks passed");
    return failed ? 1 : 0;
}
