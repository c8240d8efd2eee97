// Renders the splash window, both pages of the main window and the about box into PNG files:
// vocator-screenshots OUTPUT_FOLDER, under QT_QPA_PLATFORM=offscreen. The main window runs a real
// data module for a moment, so its log page shows the lines the program writes.
#include "announce/DMod.h"
#include "app/gui/AboutBox.h"
#include "app/gui/MainForm.h"
#include "app/gui/SplashScreen.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/ApplicationEvents.h"
#include "platform/Thread.h"
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstdio>

namespace {

bool Save(QWidget* widget, const QString& file)
{
    if (!widget->grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

void RunEventsFor(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    ProcessEventsUntil([&] { return clock.elapsed() >= milliseconds; });
}

} // namespace

int main(int argc, char** argv)
{
    TNotifyingApplication<QApplication> app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vocator-screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QTemporaryDir work;
    TLogSystemScope logSystem;
    SetDefaultFileName(work.filePath(QStringLiteral("vocator.log")));
    bool ok = true;

    TSplashForm splash;
    splash.SetAppName(QStringLiteral("Vocator"));
    splash.SetStatus(QStringLiteral("Creating forms ..."));
    splash.SetProgress(40);
    ok &= Save(&splash, out.filePath(QStringLiteral("splash.png")));

    // A speech program that finishes at once stands in for the real one.
    QFile ini(work.filePath(QStringLiteral("vocator.ini")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write(QString::fromUtf8("[common]\ntimer=150\nWelcomeMsg=Dobrý den, Vocator je připraven.\n"
                                "[TTS]\nSAY_EXE=/bin/true\nTag_Message=Hlaseni\n")
                  .toUtf8());
    ini.close();
    // The data module reads the ini file the tool writes, not one beside the tool.
    TDM dm;
    dm.SetModuleIniFileName(ini.fileName());
    TMain main(&dm);
    main.InitModule(QString());
    main.show();
    dm.Say(QString::fromUtf8("Linka 3: porucha dopravníku, prosím údržbu."), 0);
    dm.Say(QStringLiteral("Shift change in ten minutes."), 0);
    RunEventsFor(1500);
    main.PC->setCurrentWidget(main.TSMain);
    ok &= Save(&main, out.filePath(QStringLiteral("main-window.png")));
    main.PC->setCurrentWidget(main.TSLog);
    ok &= Save(&main, out.filePath(QStringLiteral("log-page.png")));

    main.AboutBox->Refresh();
    main.AboutBox->adjustSize();
    ok &= Save(main.AboutBox, out.filePath(QStringLiteral("about-box.png")));
    main.FinalizeModule();
    return ok ? 0 : 1;
}
