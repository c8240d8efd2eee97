#include "announce/DMod.h"
#include "app/gui/Action.h"
#include "app/gui/MainForm.h"
#include "app/gui/SaveDialog.h"
#include "diagnostics/DrawGrid2.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/gui/ErrorMemo.h"
#include "platform/CodePage.h"
#include "platform/VersionInfo.h"
#include "RecordedRuns.h"
#include "TestSupport.h"
#include "VocatorProcess.h"
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabWidget>
#include <gtest/gtest.h>

using TestSupport::TTempDir;
using TestSupport::WaitUntil;

namespace {

QStringList Texts(const QList<QAction*>& actions)
{
    QStringList texts;
    for (const QAction* action : actions)
        texts << action->text();
    return texts;
}

// The main window driving a real data module in a fresh folder, with a recording speech program.
class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDefaultFileName(Dir.File("vocator.log"));
        qputenv("RECORD_FILE", Dir.File("runs.txt").toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", Dir.Path().toLocal8Bit());
    }
    void TearDown() override
    {
        if (Main)
            Main->FinalizeModule();
        Main.reset();
        DM.reset();
        qunsetenv("RECORD_FILE");
        qunsetenv("RECORD_SLEEP_MS");
        TAbstractSrvMainForm::SetTrayAvailableOverride(std::nullopt);
        TSaveDialog::SetAnswer({});
        SetAnsiCodePage(QString());
    }
    void Create(const QByteArray& ini = "[common]\ntimer=100\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n")
    {
        TestSupport::WriteFileBytes(Dir.File("vocator.ini"), ini);
        DM = std::make_unique<TDM>();
        DM->SetModuleIniFileName(Dir.File("vocator.ini"));
        Main = std::make_unique<TMain>(DM.get());
        Main->InitModule(QString());
        Main->show();
    }
    QString Log() const { return QString::fromUtf8(TestSupport::ReadFileBytes(Dir.File("vocator.log"))); }
    TAction* Action(const char* name) const { return Main->findChild<TAction*>(QString::fromLatin1(name)); }

    TTempDir Dir;
    TLogSystemScope LogSystem;
    std::unique_ptr<TDM> DM;
    std::unique_ptr<TMain> Main;
};

} // namespace

// The window as a user meets it: caption, pages, menus and the tray menu in their order, each
// command with its caption, category and hint, and every control reachable by its name.
TEST_F(MainWindow, ShowsItsPagesAndCommands)
{
    Create();
    EXPECT_EQ(Main->windowTitle(), GetPrgInfo("ProductName"));
    ASSERT_EQ(Main->PC->count(), 2);
    EXPECT_EQ(Main->PC->tabText(0), "Main");
    EXPECT_EQ(Main->PC->tabText(1), "Log");
    EXPECT_EQ(Main->PC->currentWidget(), Main->TSMain);

    EXPECT_EQ(Texts(Main->MainMenu->actions()), (QStringList{"&File", "Process", "&Help"}));
    EXPECT_EQ(Texts(Main->MenuFile->actions()), (QStringList{"Save Log to File ...", "", "Terminate"}));
    EXPECT_EQ(Texts(Main->MenuProcess->actions()), (QStringList{"Start processing", "Stop processing"}));
    EXPECT_EQ(Texts(Main->MenuHelp->actions()), (QStringList{"About application..."}));
    EXPECT_EQ(Texts(Main->TrayIcon->contextMenu()->actions()),
              (QStringList{"Start processing", "Stop processing", "", "Show...", "Terminate", "", "About application..."}));

    const struct {
        const char* Name;
        const char* Caption;
        const char* Category;
        const char* Hint;
    } actions[] = {
        {"ActAbout", "About application...", "Main", ""},
        {"ActTerminate", "Terminate", "Main", "Terninate Application"},
        {"ActShow", "Show...", "Main", "Show main application window"},
        {"ActSaveLog", "Save Log to File ...", "Main", ""},
        {"ActStart", "Start processing", "Process", ""},
        {"ActStop", "Stop processing", "Process", ""},
    };
    for (const auto& expected : actions) {
        const TAction* action = Action(expected.Name);
        ASSERT_NE(action, nullptr) << expected.Name;
        EXPECT_EQ(action->text(), expected.Caption);
        EXPECT_EQ(action->Category(), expected.Category);
        EXPECT_EQ(action->statusTip(), expected.Hint);
    }

    const struct {
        const char* Name;
        const char* Accessible;
    } controls[] = {{"PC", "PC"}, {"TSMain", "Main"}, {"TSLog", "Log"}, {"EMLog", "EMLog"}, {"VG", "VG"}, {"SB", "SB"}};
    for (const auto& expected : controls) {
        const QWidget* control = Main->findChild<QWidget*>(expected.Name);
        ASSERT_NE(control, nullptr) << expected.Name;
        EXPECT_EQ(control->accessibleName(), expected.Accessible);
    }
    for (const QWidget* control : Main->findChildren<QWidget*>()) {
        if (!control->objectName().isEmpty() && !control->objectName().startsWith("qt_")) {
            EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();
        }
    }
}

// "Stop processing" can be chosen exactly while the data module works: not while a tick speaks.
TEST_F(MainWindow, StopIsEnabledWhileTheDataModuleWorks)
{
    qputenv("RECORD_SLEEP_MS", "1500");
    Create();
    TAction* stop = Action("ActStop");
    EXPECT_TRUE(WaitUntil([&] { return stop->isEnabled(); }));
    // The wait sees the command's state once the tick that ran the speech program has returned.
    ASSERT_TRUE(WaitUntil([&] { return !stop->isEnabled(); })) << "the welcome tick runs the speech program";
    EXPECT_TRUE(WaitUntil([&] { return stop->isEnabled(); }, 20000));
}

// Closing the window hides it; the simulated PLC's next message is still spoken and the property
// table still counts the ticks.
TEST_F(MainWindow, ClosingHidesAndSpeakingGoesOn)
{
    TestSupport::TPlcWithVocator plc(TestSupport::TLine::Udp, "Message R B 10 STRING[64]\r\n");
    plc.StartSim();
    TAbstractSrvMainForm::SetTrayAvailableOverride(true);
    Create(plc.Ini("Hello", "Message"));
    ASSERT_TRUE(WaitUntil([&] { return TestSupport::ReadRecordedRuns(Dir.File("runs.txt")).size() == 1; }, 30000));

    Main->close();
    EXPECT_TRUE(Main->isHidden());
    ASSERT_TRUE(plc.Set("Message", "Hall two closes"));
    ASSERT_TRUE(WaitUntil([&] { return TestSupport::ReadRecordedRuns(Dir.File("runs.txt")).size() == 2; }, 30000)) << Log().toStdString();
    EXPECT_EQ(TestSupport::ReadRecordedRuns(Dir.File("runs.txt"))[1].value(1), "Hall two closes");
    EXPECT_TRUE(Main->isHidden());
    EXPECT_TRUE(WaitUntil([&] { return !Main->VG->Value("Last Finished").isEmpty(); }));

    Action("ActShow")->trigger();
    EXPECT_TRUE(Main->isVisible());
}

// Without a notification area nothing could bring a hidden window back: closing minimises it,
// and the log says why once.
TEST_F(MainWindow, WithoutNotificationAreaClosingMinimises)
{
    TAbstractSrvMainForm::SetTrayAvailableOverride(false);
    Create();
    Main->close();
    Main->close();
    EXPECT_TRUE(Main->isVisible());
    EXPECT_TRUE(Main->isMinimized());
    EXPECT_EQ(Main->EMLog->Lines().filter("No notification area").size(), 1);
    Action("ActShow")->trigger();
    EXPECT_FALSE(Main->isMinimized());
}

// The saved log holds the memo's lines in the ANSI code page, each ended by CR LF; a file that
// cannot be written is logged as the command's failure with its stack, and the window goes on.
TEST_F(MainWindow, SavesTheLogInTheAnsiCodePage)
{
    SetAnsiCodePage("windows-1250");
    Create();
    Main->EMLog->AddLine(QString::fromUtf8("Příliš žluťoučký kůň úpěl ďábelské ódy"));
    TSaveDialog::SetAnswer([&](const TSaveDialog& dialog) {
        EXPECT_EQ(dialog.Title, "Save log to ...");
        EXPECT_EQ(dialog.QtFilter(), "LOG files (*.log);;TXT files (*.txt);;Any files (*.*)");
        return Dir.File("saved.log");
    });
    Action("ActSaveLog")->trigger();

    const QByteArray saved = TestSupport::ReadFileBytes(Dir.File("saved.log"));
    ASSERT_TRUE(saved.endsWith("\r\n"));
    EXPECT_TRUE(saved.contains("P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2")) << "windows-1250 bytes, not UTF-8";
    QStringList lines = TCodePage("windows-1250").Decode(saved).split("\r\n");
    lines.removeLast();
    EXPECT_EQ(lines, Main->EMLog->Lines());

    TSaveDialog::SetAnswer([&](const TSaveDialog&) { return Dir.File("no-such-folder/saved.log"); });
    Action("ActSaveLog")->trigger();
    const QString log = Log();
    EXPECT_TRUE(log.contains("Puvod(TAction: Main.ActSaveLog)")) << log.toStdString();
    EXPECT_TRUE(log.contains("Cannot create file")) << log.toStdString();
    EXPECT_TRUE(log.contains("\t\t\t")) << "the stack follows the error line";
    EXPECT_TRUE(Main->isVisible());
}
