#pragma once
#include "app/gui/AbstractMainFormU.h"
#include <QSystemTrayIcon>
#include <optional>

class QSplitter;
class QStatusBar;
class QTabWidget;
class TErrorMemo;
class TkxValueGrid;
class TTimeOut;

// The window of an unattended service: an icon in the notification area with its own menu, a
// "Main" page with a property table and a "Log" page with the log memo, start and stop commands,
// saving the log to a file. Closing the window hides it; the program goes on in the notification
// area. Where the desktop has no notification area the window is minimised instead, so that it
// can still be reached.
class TAbstractSrvMainForm : public TAbstractMainForm {
    Q_OBJECT
public:
    explicit TAbstractSrvMainForm(QWidget* parent = nullptr);
    ~TAbstractSrvMainForm() override;

    void Loaded() override;
    void InitModule(const QString& IniFile) override;

    QTabWidget* PC;
    QWidget* TSMain;
    QWidget* TSLog;
    TkxValueGrid* VG;
    QSplitter* Splitter2;
    TErrorMemo* EMLog;
    QStatusBar* SB;
    QSystemTrayIcon* TrayIcon;
    QMenu* TrayIconMenu;
    QMenu* MenuProcess;
    TAction* ActShow;
    TAction* ActSaveLog;
    TAction* ActStart;
    TAction* ActStop;
    TTimeOut* TimeOut;

    // Whether closing hides the window (true) or minimises it; decided at every close, as a
    // notification area may come and go with the desktop's panel.
    static bool TrayAvailable();
    // Lets a test stand in for the desktop's answer; unset, the desktop is asked.
    static void SetTrayAvailableOverride(std::optional<bool> value);

protected:
    void MsgClose() override;
    bool SwitchRequested() override;
    virtual void ActStartExecute() {}
    virtual void ActStopExecute() {}
    virtual void ActListAbstractFormUpdate() {}

private:
    void BuildPages();
    void BuildActions();
    void BuildMenus();
    void ActShowExecute();
    void ActSaveLogExecute();
    void TimeOutTimer();
    void TrayIconActivated(QSystemTrayIcon::ActivationReason reason);

    bool FNoTrayLogged = false;
};
