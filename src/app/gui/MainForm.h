#pragma once
#include "announce/DMod.h"
#include "app/gui/AbstractSrvMainFormU.h"

class TTimer;

// The program's window: drives the announcement data module, starts and stops it, and shows when
// it last finished a tick.
class TMain : public TAbstractSrvMainForm, public INotify {
    Q_OBJECT
public:
    explicit TMain(TDM* dm, QWidget* parent = nullptr);
    ~TMain() override;

    void InitModule(const QString& IniFile) override;
    void FinalizeModule() override;

    void BeforeAction() override {}
    void AfterAction() override {}

    TDM* DM;
    TTimer* Timer;

protected:
    void ActStartExecute() override;
    void ActStopExecute() override;
    void ActListAbstractFormUpdate() override;

private:
    void TimerTimer();
};
