#include "app/gui/MainForm.h"
#include "app/gui/Action.h"
#include "app/gui/Controls.h"
#include "diagnostics/DrawGrid2.h"
#include "platform/DateTime.h"
#include "platform/Timer.h"

TMain::TMain(TDM* dm, QWidget* parent) : TAbstractSrvMainForm(parent), DM(dm)
{
    NameControl(this, QStringLiteral("Main"));
    Timer = new TTimer(this, QStringLiteral("Timer"));
    Timer->SetEnabled(false);
    Timer->SetInterval(500);
    Timer->OnTimer = [this](QObject*) { TimerTimer(); };
    resize(886, 676);
    move(392, 187);
    KeepOnScreen();
    Loaded();
}

TMain::~TMain()
{
    if (DM && DM->INot == this)
        DM->INot = nullptr;
}

void TMain::InitModule(const QString& IniFile)
{
    TAbstractSrvMainForm::InitModule(IniFile);
    if (!DM->INot)
        DM->INot = this;
    DM->InitModule(IniFile, QStringLiteral("DB"));
    Timer->SetEnabled(true);
}

void TMain::FinalizeModule()
{
    TAbstractSrvMainForm::FinalizeModule();
    Timer->SetEnabled(false);
    DM->INot = nullptr;
    DM->FinalizeModule();
}

void TMain::TimerTimer()
{
    VG->SetValue(QStringLiteral("Last Finished"), FormatRegionalDateTime(DM->LastFinished));
    VG->Invalidate();
}

void TMain::ActStartExecute() { DM->Start(); }

void TMain::ActStopExecute() { DM->Stop(); }

void TMain::ActListAbstractFormUpdate() { ActStop->setEnabled(DM->Working()); }
