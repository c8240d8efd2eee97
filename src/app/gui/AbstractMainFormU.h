#pragma once
#include <QMainWindow>
#include <QString>

class QMenu;
class QMenuBar;
class TAboutBox;
class TAction;
class TActionList;
class TJCLAutoExceptionErrorLog;
class TSaveDialog;
class TXJustOne;

// The window style of the ini file's [MainForm] Style.
enum class TFormStyle { fsNormal, fsFullscreen, fsMaximized };

// A general main window: style, size and caption, process priority and processor affinity from
// the ini file; the single-instance guard, the exception capture, and the "Terminate" and
// "About" commands.
class TAbstractMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TAbstractMainForm(QWidget* parent = nullptr);
    ~TAbstractMainForm() override;

    // The last step of building the window, after every layer has set its properties: runs the
    // single-instance guard and switches the exception capture on.
    virtual void Loaded();
    // Applies the window settings of IniFile; an empty name or a missing file gives every default.
    virtual void InitModule(const QString& IniFile);
    virtual void FinalizeModule() {}

    bool VisibleMenu() const;
    void SetVisibleMenu(bool Value);
    TFormStyle FormStyle() const noexcept { return fFormStyle; }
    void SetFormStyle(TFormStyle Value);
    void FullScreen();

    TJCLAutoExceptionErrorLog* JCLAutoExceptionErrorLog;
    QMenuBar* MainMenu;
    QMenu* MenuFile;
    QMenu* MenuHelp;
    TAboutBox* AboutBox;
    TActionList* ActListAbstractForm;
    TAction* ActAbout;
    TAction* ActTerminate;
    TXJustOne* XJustOne;
    TSaveDialog* SD;
    QString CaptionPrefix;

protected:
    void closeEvent(QCloseEvent* event) override;
    // The window was asked to close by its close button, the window menu or the keyboard; here
    // that ends the program.
    virtual void MsgClose();
    // Brings the window to the front at another instance's request; true when it is shown.
    virtual bool SwitchRequested();
    bool ClosingForGood() const noexcept { return FClosingForGood; }
    // A designed place that does not fit on the screen gives way to the screen's centre.
    void KeepOnScreen();

private:
    void ActAboutExecute();
    void ActTerminateExecute();
    void XJustOneAlreadyExist();

    TFormStyle fFormStyle = TFormStyle::fsNormal;
    bool FClosingForGood = false;
};
