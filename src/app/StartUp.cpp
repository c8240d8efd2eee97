#include "app/StartUp.h"
#include "announce/DMod.h"
#include "announce/ExternalScripting.h"
#include "app/PlcLoopbackCheck.h"
#include "common/kxtools.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include "platform/VersionInfo.h"
#include <QDeadlineTimer>
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
constexpr int PubFileCheckTimeoutMs = 20000;

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
// it has closed its output and ended, within a bound so that a hanging program fails the check
// (its process group is then ended); an exit status other than 0 or a signal fails it too.
bool CheckSpeechProgram()
{
    const TIniFile ini(DefaultIniFileName());
    TExternalScripting runner;
    runner.SetExternalScriptor(ParsePath(ini.ReadString(QStringLiteral("TTS"), QStringLiteral("SAY_EXE"), QStringLiteral("($APPLICATION$)/say"))));
    runner.SetCommandLine(QStringLiteral("@ "));
    runner.SetWaitForCompleteRead(true);
    runner.SetTimeLimit(SpeechCheckTimeoutMs);
    const QString check = QStringLiteral("speech program");
    try {
        if (const int result = runner.ExecScript())
            return Report(check, false, QStringLiteral("runner code %1").arg(result));
    } catch (const Exception& e) {
        return Report(check, false, e.Message());
    }
    const TRunOutcome& outcome = runner.LastOutcome();
    const bool ok = outcome.Kind == TRunOutcome::rkExited && outcome.Code == 0;
    return Report(check, ok, ok ? runner.ExternalScriptor() : runner.ExternalScriptor() + QStringLiteral(": ") + outcome.Text());
}

// Downloads the PUB file from the configured PLC as the data module does at each connection and
// checks that TTS/Tag_Message names a STRING in it. Without a configured network line, or
// without a PUB file from the PLC within the bound, there is nothing to check against here.
TCheckResult CheckMessageTag()
{
    TIniFile ini(DefaultIniFileName());
    const QString tagName = ini.ReadString(QStringLiteral("TTS"), QStringLiteral("Tag_Message"), QString());
    TkxEPSNETMaster master(nullptr);
    master.SetIniFileSection(QStringLiteral("PLC"));
    master.SetPubFileName(QStringLiteral("var.pub"));
    master.ReadFromIni(ini);
    const QString device = master.DeviceName();
    if (!device.startsWith(QStringLiteral("UDP:"), Qt::CaseInsensitive) && !device.startsWith(QStringLiteral("TCP:"), Qt::CaseInsensitive))
        return {TCheckResult::csSkipped, device.isEmpty() ? QStringLiteral("no PLC line configured") : device + QStringLiteral(": no PUB file on this line")};
    if (tagName.isEmpty())
        return {TCheckResult::csFailed, QStringLiteral("TTS/Tag_Message is empty: nothing of the PLC is announced")};

    bool loaded = false;
    master.SetOnPubFileLoaded([&loaded](IComEventSender*) { loaded = true; });
    master.Open();
    const QDeadlineTimer deadline(PubFileCheckTimeoutMs);
    QTimer heartbeat; // wakes the wait when the PLC stays silent
    heartbeat.start(100);
    ProcessEventsUntil([&] { return loaded || deadline.hasExpired(); });
    master.Close();
    if (!loaded)
        return {TCheckResult::csSkipped, QStringLiteral("%1: no PUB file within %2 s").arg(device).arg(PubFileCheckTimeoutMs / 1000)};
    if (const QString refusal = RefuseMessageTag(master.TagList(), tagName); !refusal.isEmpty())
        return {TCheckResult::csFailed, refusal};
    const TEpsnetTagListLock tags(master.TagList());
    if (!tags->GetTagByName(tagName))
        return {TCheckResult::csFailed, QStringLiteral("%1: Tag_Message %2 is not in the PUB file").arg(device, tagName)};
    return {TCheckResult::csPassed, QStringLiteral("%1: Tag_Message %2 is a STRING").arg(device, tagName)};
}

} // namespace

int RunSelfTest()
{
    int failed = 0;
    failed += CheckLogFile() ? 0 : 1;
    failed += CheckSpeechProgram() ? 0 : 1;
    failed += Report(QStringLiteral("message tag"), CheckMessageTag()) ? 0 : 1;
    for (const QString& line : {QStringLiteral("UDP"), QStringLiteral("TCP")})
        failed += Report(QStringLiteral("PLC loopback over ") + line, CheckPlcLoopback(line)) ? 0 : 1;
    std::printf("selftest: %s\n", failed ? qPrintable(QString::number(failed) + " check(s) failed") : "all checks passed");
    return failed ? 1 : 0;
}
