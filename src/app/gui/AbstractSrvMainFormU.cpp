#include "app/gui/AbstractSrvMainFormU.h"
#include "app/gui/Action.h"
#include "app/gui/Controls.h"
#include "app/gui/Pictures.h"
#include "app/gui/SaveDialog.h"
#include "app/gui/Timeout.h"
#include "diagnostics/DrawGrid2.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/gui/ErrorMemo.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include <QMenu>
#include <QMenuBar>
#include <QSaveFile>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// Images of the commands in the image list.
constexpr int ImgSaveLog = 3;
constexpr int ImgStop = 5;
constexpr int ImgStart = 6;

std::optional<bool>& TrayAvailableOverride()
{
    static std::optional<bool> value;
    return value;
}

} // namespace

TAbstractSrvMainForm::TAbstractSrvMainForm(QWidget* parent) : TAbstractMainForm(parent)
{
    BuildPages();
    BuildActions();
    BuildMenus();

    TimeOut = new TTimeOut(this);
    NameComponent(TimeOut, QStringLiteral("TimeOut"));
    TimeOut->OnTimer = [this](QObject*) { TimeOutTimer(); };
}

TAbstractSrvMainForm::~TAbstractSrvMainForm()
{
    TrayIcon->hide();
    // The memo leaves the log registry while the window is still whole, so no line is routed to a
    // page that is being taken apart.
    delete EMLog;
    EMLog = nullptr;
}

void TAbstractSrvMainForm::BuildPages()
{
    PC = new QTabWidget(this);
    NameControl(PC, QStringLiteral("PC"));

    TSMain = new QWidget(PC);
    NameControl(TSMain, QStringLiteral("TSMain"), QStringLiteral("Main"));
    Splitter2 = new QSplitter(Qt::Horizontal, TSMain);
    NameControl(Splitter2, QStringLiteral("Splitter2"));
    VG = new TkxValueGrid(Splitter2);
    NameControl(VG, QStringLiteral("VG"));
    VG->SetTitles({QStringLiteral("Property"), QStringLiteral("Value")});
    VG->SetColWidth(0, 100);
    VG->SetColWidth(1, 149);
    auto* rest = new QWidget(Splitter2);
    NameControl(rest, QStringLiteral("PanelRight"));
    Splitter2->addWidget(VG);
    Splitter2->addWidget(rest);
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({257, 600});
    auto* mainLayout = new QVBoxLayout(TSMain);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addWidget(Splitter2);
    PC->addTab(TSMain, QStringLiteral("Main"));

    TSLog = new QWidget(PC);
    NameControl(TSLog, QStringLiteral("TSLog"), QStringLiteral("Log"));
    EMLog = new TErrorMemo(TSLog);
    NameControl(EMLog, QStringLiteral("EMLog"));
    EMLog->SetDateTimeFormat(QStringLiteral("dd.mm.yyyy h:nn:ss"));
    EMLog->SetMaxLines(200);
    EMLog->SetMemoIndex(0);
    auto* logLayout = new QVBoxLayout(TSLog);
    logLayout->setContentsMargins(0, 0, 0, 0);
    logLayout->addWidget(EMLog);
    PC->addTab(TSLog, QStringLiteral("Log"));
    PC->setCurrentWidget(TSMain);
    setCentralWidget(PC);

    SB = new QStatusBar(this);
    NameControl(SB, QStringLiteral("SB"));
    SB->setFixedHeight(19);
    SB->setSizeGripEnabled(true);
    setStatusBar(SB);
}

void TAbstractSrvMainForm::BuildActions()
{
    ActShow = new TAction(this, QStringLiteral("ActShow"), QStringLiteral("Show..."), QStringLiteral("Main"),
                          QStringLiteral("Show main application window"));
    ActShow->OnExecute = [this](QObject*) { ActShowExecute(); };
    ActSaveLog = new TAction(this, QStringLiteral("ActSaveLog"), QStringLiteral("Save Log to File ..."), QStringLiteral("Main"));
    ActSaveLog->setIcon(ImgListIcon(ImgSaveLog));
    ActSaveLog->OnExecute = [this](QObject*) { ActSaveLogExecute(); };
    ActStart = new TAction(this, QStringLiteral("ActStart"), QStringLiteral("Start processing"), QStringLiteral("Process"));
    ActStart->setIcon(ImgListIcon(ImgStart));
    ActStart->OnExecute = [this](QObject*) { ActStartExecute(); };
    ActStop = new TAction(this, QStringLiteral("ActStop"), QStringLiteral("Stop processing"), QStringLiteral("Process"));
    ActStop->setIcon(ImgListIcon(ImgStop));
    ActStop->OnExecute = [this](QObject*) { ActStopExecute(); };
    for (TAction* action : {ActShow, ActSaveLog, ActStart, ActStop})
        ActListAbstractForm->Add(action);
    ActListAbstractForm->OnUpdate = [this](QObject*) { ActListAbstractFormUpdate(); };
}

void TAbstractSrvMainForm::BuildMenus()
{
    MenuFile->insertAction(ActTerminate, ActSaveLog);
    MenuFile->insertSeparator(ActTerminate);
    MenuProcess = new QMenu(QStringLiteral("Process"), MainMenu);
    NameControl(MenuProcess, QStringLiteral("MenuProcess"), MenuProcess->title());
    MenuProcess->addAction(ActStart);
    MenuProcess->addAction(ActStop);
    MainMenu->insertMenu(MenuHelp->menuAction(), MenuProcess);

    TrayIconMenu = new QMenu(this);
    NameControl(TrayIconMenu, QStringLiteral("TrayIconMenu"));
    TrayIconMenu->addAction(ActStart);
    TrayIconMenu->addAction(ActStop);
    TrayIconMenu->addSeparator();
    TrayIconMenu->addAction(ActShow);
    TrayIconMenu->addAction(ActTerminate);
    TrayIconMenu->addSeparator();
    TrayIconMenu->addAction(ActAbout);

    TrayIcon = new QSystemTrayIcon(this);
    NameComponent(TrayIcon, QStringLiteral("TrayIcon"));
    TrayIcon->setContextMenu(TrayIconMenu);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) { TrayIconActivated(reason); });
}

void TAbstractSrvMainForm::Loaded()
{
    TAbstractMainForm::Loaded();
    EMLog->Loaded();
    setWindowIcon(ApplicationIcon());
    TrayIcon->setIcon(ApplicationIcon());
    TrayIcon->show();
}

void TAbstractSrvMainForm::InitModule(const QString& IniFile)
{
    TAbstractMainForm::InitModule(IniFile);
    TrayIcon->setToolTip(windowTitle());
}

bool TAbstractSrvMainForm::TrayAvailable()
{
    if (TrayAvailableOverride())
        return *TrayAvailableOverride();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TAbstractSrvMainForm::SetTrayAvailableOverride(std::optional<bool> value) { TrayAvailableOverride() = value; }

void TAbstractSrvMainForm::MsgClose()
{
    if (TrayAvailable()) {
        hide();
        return;
    }
    // Hidden without an icon to bring it back, the window could only be ended by a signal.
    if (!FNoTrayLogged) {
        WriteToLog(QStringLiteral("No notification area: closing the window minimises it"), 0);
        FNoTrayLogged = true;
    }
    showMinimized();
}

void TAbstractSrvMainForm::TrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        ActShow->Execute();
}

void TAbstractSrvMainForm::ActShowExecute()
{
    show();
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

bool TAbstractSrvMainForm::SwitchRequested()
{
    ActShow->Execute();
    return isVisible() && !isMinimized();
}

void TAbstractSrvMainForm::ActSaveLogExecute()
{
    if (!SD->Execute())
        return;
    QByteArray text;
    for (const QString& line : EMLog->Lines())
        text += ToAnsi(line) + "\r\n";
    // Written aside and renamed over the old file: a failed save leaves the old one whole.
    QSaveFile file(SD->FileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(SD->FileName, file.errorString()));
}

void TAbstractSrvMainForm::TimeOutTimer() { hide(); }
