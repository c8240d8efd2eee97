#pragma once
#include "announce/AbstractDModU.h"
#include "announce/Vocator_Types.h"
#include "platform/DateTime.h"
#include <deque>

class IComEventSender;
class TDataPacket;
class TExternalScripting;
class TIniFile;
class TkxEPSNETMaster;
class TTimer;

// The data module's notification interface towards the main window: BeforeAction starts every
// timer tick; AfterAction is part of the interface but never called.
class INotify {
public:
    virtual ~INotify() = default;
    virtual void BeforeAction() = 0;
    virtual void AfterAction() = 0;
};

// The announcement service: a speech queue drained by a timer, one message per tick, each
// spoken by running the speech program with "@ " and the text as its command line and waiting
// until the program has closed its output. All of it runs on the main thread.
class TDM : public TAbstractDMod {
    Q_OBJECT
public:
    explicit TDM(QObject* owner = nullptr);
    ~TDM() override;

    void InitModule(const QString& IniFile, const QString& Section) override;
    void FinalizeModule() override;
    virtual bool GetWorking() const;
    virtual void OpenWork();
    virtual void CloseWork();

    bool Working() const { return GetWorking(); }
    void Start();
    void Stop();
    void Say(const QString& Msg, std::int32_t Voice);

    TTimer* Timer;
    TExternalScripting* Say_EXE;
    // The master of the PLC whose message variable the module watches.
    TkxEPSNETMaster* PLC;

    QString Tag_Message;
    QString Tag_Voice;
    QString PLC_OldMsg;
    INotify* INot = nullptr;
    TDateTime LastFinished = 0;

    const std::deque<TTTSMsg>& SayBuffer() const noexcept { return FSayBuffer; }
    int TimerInterval() const noexcept { return FTimerInterval; }
    int SlowTimerInterval() const noexcept { return FSlowTimerInterval; }

protected:
    // The ini file beside the executable; tests point it elsewhere.
    virtual QString ModuleIniFileName() const;

private:
    void TimerTimer(QObject* Sender);
    // After every load of the PUB file the cyclic reads cover exactly its tags.
    void PLCPubFileLoaded(IComEventSender* Sender);
    // Queues the message variable's text whenever it changed to something not blank.
    void PLCReceivePacket(IComEventSender* Sender, TDataPacket* Packet);
    void HandleSay();
    void ReadSettings(TIniFile& ini, TTTSMsg& welcome);

    int FTimerInterval = 10000;
    int FSlowTimerInterval = 10000;
    bool FWorkOpened = false;
    std::deque<TTTSMsg> FSayBuffer;
};
