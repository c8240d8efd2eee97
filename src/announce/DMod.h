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
class TEpsnetThreadSafeTagList;

// The line that refuses the named message tag because it is no STRING, or empty when it is one
// or is not in the list at all (reading it then reports the missing tag).
QString RefuseMessageTag(TEpsnetThreadSafeTagList& tags, const QString& tagName);

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
// until the program has closed its output and ended. A run that fails (an exit status other
// than 0, a signal, past its time limit) fails the tick like a program that cannot start. The
// queue holds at most MaxSayQueue messages. All of it runs on the main thread.
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
    // Appends the message; with the queue full, the oldest one is dropped for it.
    void Say(const QString& Msg, std::int32_t Voice);

    static constexpr std::size_t MaxSayQueue = 1000;
    // The range the tick intervals are held in, ms.
    static constexpr int MinTimerInterval = 10;
    static constexpr int MaxTimerInterval = 3600000;
    // The time limit of one run of the speech program, ms, and its range.
    static constexpr int DefaultSayTimeout = 120000;
    static constexpr int MinSayTimeout = 1000;
    static constexpr int MaxSayTimeout = 86400000;

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

    // The ini file the module reads: the one beside the executable unless another is named.
    QString ModuleIniFileName() const;
    void SetModuleIniFileName(const QString& fileName) { FModuleIniFileName = fileName; }

private:
    void TimerTimer(QObject* Sender);
    // After every load of the PUB file the cyclic reads cover exactly its tags.
    void PLCPubFileLoaded(IComEventSender* Sender);
    // Queues the message variable's text whenever it changed to something not blank.
    void PLCReceivePacket(IComEventSender* Sender, TDataPacket* Packet);
    void HandleSay();
    void ReadSettings(TIniFile& ini, TTTSMsg& welcome);
    // The speech program learns the code page of its command line from SAY_CODEPAGE.
    void TellSpeechProgramTheCodePage();
    void ReportDroppedMessages();

    int FTimerInterval = 10000;
    int FSlowTimerInterval = 10000;
    QString FModuleIniFileName;
    bool FWorkOpened = false;
    std::deque<TTTSMsg> FSayBuffer;
    // Messages dropped from the full queue since the last tick; the first is logged with its
    // text at once, the rest as a count at the next tick.
    int FDroppedMessages = 0;
    // The message tag of the loaded PUB file is no STRING: nothing is announced from it.
    bool FMessageTagRefused = false;
};
