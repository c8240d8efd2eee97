#include "app/gui/AbstractMainFormU.h"
#include "app/gui/AboutBox.h"
#include "app/gui/Action.h"
#include "app/gui/ApplicationRun.h"
#include "app/gui/Controls.h"
#include "app/gui/JustOne.h"
#include "app/gui/SaveDialog.h"
#include "errorsystem/JCLAutoException.h"
#include "platform/IniFile.h"
#include "platform/ProcessPriority.h"
#include "platform/VersionInfo.h"
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>

namespace {

TProcessPriorityClass PriorityClassFromText(const QString& text)
{
    const QString upper = text.toUpper();
    if (upper == u"HIGH")
        return TProcessPriorityClass::ppcAboveNormal;
    if (upper == u"HIGHEST")
        return TProcessPriorityClass::ppcHigh;
    return TProcessPriorityClass::ppcNormal;
}

} // namespace

TAbstractMainForm::TAbstractMainForm(QWidget* parent) : QMainWindow(parent)
{
    JCLAutoExceptionErrorLog = new TJCLAutoExceptionErrorLog(this);
    NameComponent(JCLAutoExceptionErrorLog, QStringLiteral("JCLAutoExceptionErrorLog"));
    JCLAutoExceptionErrorLog->SetLogToMemo(true);
    JCLAutoExceptionErrorLog->SetLogMemoIndex(1);

    ActListAbstractForm = new TActionList(this, QStringLiteral("ActListAbstractForm"));
    ActAbout = new TAction(this, QStringLiteral("ActAbout"), QStringLiteral("About application..."), QStringLiteral("Main"));
    ActAbout->OnExecute = [this](QObject*) { ActAboutExecute(); };
    ActTerminate = new TAction(this, QStringLiteral("ActTerminate"), QStringLiteral("Terminate"), QStringLiteral("Main"),
                               QStringLiteral("Terninate Application"));
    ActTerminate->OnExecute = [this](QObject*) { ActTerminateExecute(); };
    ActListAbstractForm->Add(ActAbout);
    ActListAbstractForm->Add(ActTerminate);

    MainMenu = new QMenuBar(this);
    NameControl(MainMenu, QStringLiteral("MainMenu"));
    MenuFile = MainMenu->addMenu(QStringLiteral("&File"));
    NameControl(MenuFile, QStringLiteral("MenuFile"), MenuFile->title());
    MenuFile->addAction(ActTerminate);
    MenuHelp = MainMenu->addMenu(QStringLiteral("&Help"));
    NameControl(MenuHelp, QStringLiteral("MenuHelp"), MenuHelp->title());
    MenuHelp->addAction(ActAbout);
    setMenuBar(MainMenu);

    AboutBox = new TAboutBox(this);

    XJustOne = new TXJustOne(this);
    XJustOne->SetSwitchToPrevious(true);
    XJustOne->SetAlreadyExist([this](QObject*) { XJustOneAlreadyExist(); });
    XJustOne->SetOnSwitchRequest([this](QObject*) { return SwitchRequested(); });

    SD = new TSaveDialog(this);
    NameComponent(SD, QStringLiteral("SD"));
    SD->DefaultExt = QStringLiteral(".log");
    SD->Filter = QStringLiteral("LOG files|*.log|TXT files|*.txt|Any files|*.*");
    SD->Title = QStringLiteral("Save log to ...");
}

TAbstractMainForm::~TAbstractMainForm() = default;

void TAbstractMainForm::Loaded()
{
    JCLAutoExceptionErrorLog->Loaded();
    XJustOne->Loaded();
}

void TAbstractMainForm::InitModule(const QString& IniFile)
{
    fFormStyle = TFormStyle::fsNormal;
    const TIniFile ini(IniFile);
    const QString section = QStringLiteral("MainForm");
    const QString style = ini.ReadString(section, QStringLiteral("Style"), QString()).toUpper();
    const int height = ini.ReadInteger(section, QStringLiteral("Height"), 0);
    const int width = ini.ReadInteger(section, QStringLiteral("Width"), 0);
    CaptionPrefix = ini.ReadString(section, QStringLiteral("CaptionPrefix"), QString());
    SetVisibleMenu(ini.ReadBool(section, QStringLiteral("MenuVisible"), true));
    if (style == u"MAXIMIZED")
        SetFormStyle(TFormStyle::fsMaximized);
    else if (style == u"FULLSCREEN")
        SetFormStyle(TFormStyle::fsFullscreen);
    if (height > 0 || width > 0)
        resize(width > 0 ? width : this->width(), height > 0 ? height : this->height());
    SetProcessPriorityClass(PriorityClassFromText(ini.ReadString(QStringLiteral("common"), QStringLiteral("ProcessPriority"), QStringLiteral("NORMAL"))));
    SetProcessAffinityMask(static_cast<std::uint32_t>(ini.ReadInteger(QStringLiteral("common"), QStringLiteral("AffinityMask"), 0)));
    XJustOne->SetEnabled(ini.ReadBool(QStringLiteral("common"), QStringLiteral("JustOne"), false));
    setWindowTitle(CaptionPrefix + GetPrgInfo(QStringLiteral("ProductName")));
    setAccessibleName(windowTitle());
}

bool TAbstractMainForm::VisibleMenu() const { return !MainMenu->isHidden(); }

void TAbstractMainForm::SetVisibleMenu(bool Value)
{
    if (Value == VisibleMenu())
        return;
    MainMenu->setVisible(Value);
    SetFormStyle(fFormStyle);
}

void TAbstractMainForm::SetFormStyle(TFormStyle Value)
{
    fFormStyle = Value;
    const Qt::WindowStates kept = windowState() & Qt::WindowMinimized;
    switch (Value) {
    case TFormStyle::fsNormal:
        setWindowState(kept);
        break;
    case TFormStyle::fsFullscreen:
        FullScreen();
        break;
    case TFormStyle::fsMaximized:
        setWindowState(kept | Qt::WindowMaximized);
        break;
    }
}

void TAbstractMainForm::KeepOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    if (available.contains(QRect(pos(), size())))
        return;
    resize(size().boundedTo(available.size()));
    move(available.center() - QPoint(width() / 2, height() / 2));
}

void TAbstractMainForm::FullScreen() { setWindowState((windowState() & Qt::WindowMinimized) | Qt::WindowFullScreen); }

void TAbstractMainForm::closeEvent(QCloseEvent* event)
{
    if (FClosingForGood) {
        event->accept();
        return;
    }
    event->ignore();
    MsgClose();
}

void TAbstractMainForm::MsgClose() { ActTerminate->Execute(); }

bool TAbstractMainForm::SwitchRequested()
{
    show();
    raise();
    activateWindow();
    return isVisible();
}

void TAbstractMainForm::ActAboutExecute()
{
    AboutBox->Refresh();
    // Modal to the window, without a loop of its own: the program goes on behind it.
    AboutBox->open();
}

void TAbstractMainForm::ActTerminateExecute()
{
    FClosingForGood = true;
    AboutBox->close();
    close();
    ApplicationRun::Terminate();
}

void TAbstractMainForm::XJustOneAlreadyExist() { ActTerminate->Execute(); }
