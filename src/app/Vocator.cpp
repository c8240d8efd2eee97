// The program: start-up, message loop and shut-down. On a display it is the tray program with
// its windows; with "/service", or without a display, it runs windowless: the same data module,
// log file and exception capture, and no window system touched.
#include "announce/DMod.h"
#include "app/ConsoleMemo.h"
#include "app/StartUp.h"
#include "app/UnattendedRun.h"
#include "app/gui/WindowedStartUp.h"
#include "common/kxtools.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/JCLAutoException.h"
#include "platform/ApplicationEvents.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/DisplayProbe.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"
#include "platform/Thread.h"
#include "platform/VersionInfo.h"
#include <QCoreApplication>
#include <clocale>
#include <cstdio>
#include <memory>

namespace {

QStringList RawArguments(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// The process code page comes from the ini file before anything is logged.
void ApplyCodePage()
{
    const TIniFile ini(DefaultIniFileName());
    const QString codePage = ini.ReadString(QStringLiteral("common"), QStringLiteral("CodePage"), QString());
    if (!codePage.isEmpty())
        SetAnsiCodePage(codePage);
}

TJCLAutoExceptionErrorLog* CreateExceptionCapture(QObject* owner)
{
    auto* capture = new TJCLAutoExceptionErrorLog(owner);
    capture->setObjectName(QStringLiteral("JCLAutoExceptionErrorLog"));
    capture->SetLogToMemo(true);
    capture->SetLogMemoIndex(1);
    capture->Loaded();
    return capture;
}

// The windows need a display (the platform plugin Qt would load otherwise fails) and are not
// wanted by a service; the self-test needs none.
bool WindowsWanted(const QStringList& arguments)
{
    if (FindCmdLineSwitch(arguments, QStringLiteral("service")) || FindCmdLineSwitch(arguments, QStringLiteral("selftest")))
        return false;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    // A display that is named but gone (a stale DISPLAY of an old session) would end the program
    // inside Qt; the announcements go on windowless instead, and the reason is logged.
    QString why;
    if (DisplayReachable(&why))
        return true;
    const QString line = QStringLiteral("No display can be reached (") + why + QStringLiteral("): running windowless");
    WriteToFile(line);
    std::fprintf(stderr, "%s\n", qPrintable(line));
    return false;
}

int RunProgram(int argc, char** argv, const QStringList& arguments)
{
    const TDateTime StarTime = Now();
    TNotifyingApplication<QCoreApplication> app(argc, argv);
    // Numbers are written and read with "." whatever the regional settings say.
    std::setlocale(LC_NUMERIC, "C");
    const QString AppName = ExtractFileName(ExecutablePath());

    if (FindCmdLineSwitch(arguments, QStringLiteral("selftest"))) {
        RestoreDefaultTerminationSignals(); // no loop would read them
        return RunSelfTest();
    }
    // One windowless instance per ini file, held until the program ends.
    const std::unique_ptr<TInstanceLock> instanceLock = LockIniFile(DefaultIniFileName(), AppName);
    if (!instanceLock)
        return 1;

    // Without windows the data module's memo lines go to standard output.
    TConsoleMemo console(0);
    CreateExceptionCapture(&app);
    // Freed before the application object: its master thread may be waiting for the main thread
    // to run a hand-over, and only a living application still serves them while the thread ends.
    const std::unique_ptr<TDM> DM(new TDM(&app));
    WriteToFile(QStringLiteral("Before ") + AppName + QStringLiteral(" Initialize... (v.") + GetPrgInfo(QStringLiteral("FileVersion")) +
                QStringLiteral(") ThreadID:") + QString::number(CurrentThreadId()));
    try {
        DM->InitModule(QString(), QStringLiteral("DB"));
    } catch (const Exception& E) {
        const QString s = E.ClassName() + QStringLiteral(" - ") + E.Message();
        WriteToFile(s);
        std::fprintf(stderr, "%s\n", qPrintable(s));
        return 1;
    }
    WriteToFile(QStringLiteral("After ") + AppName + QStringLiteral(" Initialize..."));

    TTerminationSignals signals([](int) { QCoreApplication::quit(); });
    QCoreApplication::exec();

    DM->FinalizeModule();
    const double hours = (Now() - StarTime) * 24;
    WriteToFile(QStringLiteral("--== Exiting ") + AppName + QStringLiteral(" application (") + FormatFloat(hours, 2) + QStringLiteral(" h) ==--"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // First of all: from here on a termination signal ends the program through its shut-down.
    InstallTerminationSignals();
    const QStringList arguments = RawArguments(argc, argv);
    ApplyCodePage();
    TLogSystemScope logSystem;
    SetThreadName(QStringLiteral("Main"));
    if (FindCmdLineSwitch(arguments, QStringLiteral("ver"))) {
        WriteVersionsFile();
        return 0;
    }
    ApplyLogFileSettings(DefaultIniFileName());
    if (WindowsWanted(arguments))
        return RunWindowedProgram(argc, argv);
    return RunProgram(argc, argv, arguments);
}
