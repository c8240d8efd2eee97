#include "app/gui/WindowedStartUp.h"
#include "announce/DMod.h"
#include "app/gui/Action.h"
#include "app/gui/ApplicationRun.h"
#include "app/gui/MainForm.h"
#include "app/gui/SplashScreen.h"
#include "common/kxtools.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/ApplicationEvents.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"
#include "platform/Thread.h"
#include "platform/VersionInfo.h"
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <memory>

void ShowStartUpFailure(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, GetPrgInfo(QStringLiteral("ProductName")), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("StartUpFailureBox"));
    if (!qEnvironmentVariableIsEmpty("VOCATOR_ANSWER_MESSAGE_BOXES")) {
        QTimer::singleShot(0, &box, [&box, text] {
            std::fprintf(stderr, "Message box: %s\n", qPrintable(text));
            std::fflush(stderr);
            box.accept();
        });
    }
    box.exec();
}

int RunWindowedProgram(int argc, char** argv)
{
    const TDateTime StarTime = Now();
    TNotifyingApplication<QApplication> app(argc, argv);
    // Numbers are written and read with "." whatever the regional settings say.
    std::setlocale(LC_NUMERIC, "C");
    // The window only hides when closed: the program ends by "Terminate" alone.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString AppName = ExtractFileName(ExecutablePath());

    // A signal during the start-up ends the loop before it runs; later, the same way as "Terminate".
    QPointer<TMain> Main;
    TTerminationSignals signals([&Main](int) {
        if (Main)
            Main->ActTerminate->Execute();
        else
            ApplicationRun::Terminate();
    });

    SplashShow(QString());
    SplashStatus(QStringLiteral("Creating components ..."), 0.1);
    SplashStatus(QStringLiteral("Creating datamodules ..."), 0.2);
    // Freed before the application object: its master thread may be waiting for the main thread
    // to run a hand-over, and only a living application still serves them while the thread ends.
    const std::unique_ptr<TDM> DM(new TDM(&app));
    SplashStatus(QStringLiteral("Creating forms ..."), 0.4);
    // Freed before the data module it drives.
    const std::unique_ptr<TMain> mainForm(new TMain(DM.get()));
    Main = mainForm.get();
    WriteToFile(QStringLiteral("Before ") + AppName + QStringLiteral(" Initialize... (v.") + GetPrgInfo(QStringLiteral("FileVersion")) +
                QStringLiteral(") ThreadID:") + QString::number(CurrentThreadId()));
    try {
        Main->InitModule(QString());
    } catch (const Exception& E) {
        const QString s = E.ClassName() + QStringLiteral(" - ") + E.Message();
        WriteToFile(s);
        ShowStartUpFailure(s);
        return 1;
    }
    WriteToFile(QStringLiteral("After ") + AppName + QStringLiteral(" Initialize..."));
    SplashHide();

    ApplicationRun::Run(Main);

    Main->FinalizeModule();
    const double hours = (Now() - StarTime) * 24;
    WriteToFile(QStringLiteral("--== Exiting ") + AppName + QStringLiteral(" application (") + FormatFloat(hours, 2) + QStringLiteral(" h) ==--"));
    return 0;
}
