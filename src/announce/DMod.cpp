#include "announce/DMod.h"
#include "announce/ExternalScripting.h"
#include "comm/kxasync_thread.h"
#include "common/kxtools.h"
#include "epsnet/kxEPSNET_component.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Timer.h"
#include <algorithm>

namespace {

constexpr int DefaultTimerInterval = 10000;
const QString DefaultSayExe = QStringLiteral("($APPLICATION$)/say");
const QString CodePageVariable = QStringLiteral("SAY_CODEPAGE=");
// Enough of a failed run's output for the log line.
constexpr qsizetype MaxLoggedOutput = 200;

// A value outside its range would stall the timer (0 or less never fires, a huge one fires in
// weeks) or a run for ever: it is held in the range, with one warning line.
int ReadIntegerInRange(const TIniFile& ini, const QString& section, const QString& key, int defaultValue, int low, int high)
{
    const int value = ini.ReadInteger(section, key, defaultValue);
    const int held = std::clamp(value, low, high);
    if (held != value)
        WriteToLog(QStringLiteral("%1/%2=%3 is outside %4..%5 ms; %6 is used").arg(section, key).arg(value).arg(low).arg(high).arg(held), 0);
    return held;
}

// The first line of what a failed run printed, shortened for one log line.
QString OutputExcerpt(const QStringList& product)
{
    for (const QString& line : product) {
        const QString text = line.simplified();
        if (!text.isEmpty())
            return QStringLiteral("; output: ") + (text.size() > MaxLoggedOutput ? text.left(MaxLoggedOutput) + QStringLiteral("...") : text);
    }
    return {};
}

// Leading and trailing characters up to the blank removed.
QString TrimBlanksAndControls(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= u' ')
        ++first;
    while (last > first && text.at(last - 1).unicode() <= u' ')
        --last;
    return text.mid(first, last - first);
}

} // namespace

QString RefuseMessageTag(TEpsnetThreadSafeTagList& tags, const QString& tagName)
{
    const TEpsnetTagListLock list(tags);
    const TEPSNETTag* tag = list->GetTagByName(tagName);
    if (!tag || tag->DataType() == _epsdt_String)
        return {};
    QString type = QStringLiteral("an enumeration");
    EpsnetDataTypeToString(tag->DataType(), type);
    return QStringLiteral("Tag_Message %1 is %2, not a STRING: nothing is announced from it").arg(tagName, type);
}

TDM::TDM(QObject* owner) : TAbstractDMod(owner)
{
    setObjectName(QStringLiteral("DM"));
    Timer = new TTimer(this, QStringLiteral("Timer"));
    Timer->SetEnabled(false);
    Timer->SetInterval(100);
    Timer->OnTimer = [this](QObject* sender) { TimerTimer(sender); };

    Say_EXE = new TExternalScripting(this);
    Say_EXE->setObjectName(QStringLiteral("Say_EXE"));
    Say_EXE->SetExternalScriptor(QStringLiteral("say"));
    Say_EXE->SetWaitForCompleteRead(true);
    // The speech program runs in the environment this process was given.

    PLC = new TkxEPSNETMaster(this);
    PLC->setObjectName(QStringLiteral("PLC"));
    PLC->SetIniFileSection(QStringLiteral("PLC"));
    PLC->SetDestinationAddress(0);
    PLC->SetPubFileName(QStringLiteral("var.pub"));
    PLC->SetOnPubFileLoaded([this](IComEventSender* sender) { PLCPubFileLoaded(sender); });
    PLC->OnReceivePacket = [this](IComEventSender* sender, TDataPacket* packet) { PLCReceivePacket(sender, packet); };
    PLC->Loaded();
}

TDM::~TDM()
{
    // The master goes first: its thread may still hand events to this module while it ends.
    delete PLC;
    PLC = nullptr;
}

QString TDM::ModuleIniFileName() const
{
    return FModuleIniFileName.isEmpty() ? DefaultIniFileName() : FModuleIniFileName;
}

void TDM::ReadSettings(TIniFile& ini, TTTSMsg& welcome)
{
    const QString common = QStringLiteral("common");
    FTimerInterval = ReadIntegerInRange(ini, common, QStringLiteral("timer"), DefaultTimerInterval, MinTimerInterval, MaxTimerInterval);
    FSlowTimerInterval = ReadIntegerInRange(ini, common, QStringLiteral("SlowTimer"), DefaultTimerInterval, MinTimerInterval, MaxTimerInterval);
    welcome.Message = ini.ReadString(QStringLiteral("common"), QStringLiteral("WelcomeMsg"), QString());
    welcome.Voice = 0;
    Say_EXE->SetExternalScriptor(ParsePath(ini.ReadString(QStringLiteral("TTS"), QStringLiteral("SAY_EXE"), DefaultSayExe)));
    Say_EXE->SetTimeLimit(
        ReadIntegerInRange(ini, QStringLiteral("TTS"), QStringLiteral("SAY_TIMEOUT"), DefaultSayTimeout, MinSayTimeout, MaxSayTimeout));
    Tag_Message = ini.ReadString(QStringLiteral("TTS"), QStringLiteral("Tag_Message"), QString());
}

void TDM::TellSpeechProgramTheCodePage()
{
    QStringList environment = Say_EXE->Parameters();
    environment.removeIf([](const QString& entry) { return entry.startsWith(CodePageVariable); });
    environment.append(CodePageVariable + AnsiCodePage().Name());
    Say_EXE->SetParameters(environment);
}

void TDM::InitModule(const QString& IniFile, const QString& Section)
{
    // The module always reads the ini file beside the executable, whatever it is given.
    TAbstractDMod::InitModule(IniFile, Section);
    TTTSMsg welcome;
    {
        TIniFile ini(ModuleIniFileName());
        ReadSettings(ini, welcome);
        TellSpeechProgramTheCodePage();
        WriteToMemo(QStringLiteral("Say_exe:") + Say_EXE->ExternalScriptor(), 0);
        PLC->ReadFromIni(ini);
    }
    FSayBuffer.push_back(welcome);
    Timer->SetInterval(FTimerInterval);
    Timer->SetEnabled(true);
    PLC->Open();
}

void TDM::PLCPubFileLoaded(IComEventSender* /*Sender*/)
{
    if (TComThread* thread = PLC->GetComThread())
        thread->RList()->Clear();
    PLC->AddAllTagToRList();
    const QString refusal = RefuseMessageTag(PLC->TagList(), Tag_Message);
    FMessageTagRefused = !refusal.isEmpty();
    if (FMessageTagRefused)
        WriteToLog(refusal, 0);
}

void TDM::PLCReceivePacket(IComEventSender* /*Sender*/, TDataPacket* /*Packet*/)
{
    if (FMessageTagRefused)
        return;
    try {
        const QString text = TrimBlanksAndControls(PLC->TagList().GetAsString(Tag_Message));
        if (text == PLC_OldMsg)
            return;
        PLC_OldMsg = text;
        if (!text.isEmpty())
            Say(text, 0);
    } catch (const Exception& e) {
        WriteToMemo(e.ClassName() + QStringLiteral(":") + e.Message(), 0);
    }
}

void TDM::FinalizeModule()
{
    TAbstractDMod::FinalizeModule();
    Timer->SetEnabled(false);
    CloseWork();
}

bool TDM::GetWorking() const { return Timer->Enabled(); }

void TDM::OpenWork()
{
    if (FWorkOpened)
        return;
    WriteToLog(QStringLiteral("Work Opened"), 0);
    FWorkOpened = true;
}

void TDM::CloseWork()
{
    FWorkOpened = false;
    WriteToLog(QStringLiteral("Work Closed"), 0);
}

void TDM::Start() { OpenWork(); }

void TDM::Stop() { CloseWork(); }

void TDM::Say(const QString& Msg, std::int32_t Voice)
{
    // A PLC that writes faster than the timer speaks must not fill the memory.
    if (FSayBuffer.size() >= MaxSayQueue) {
        if (FDroppedMessages++ == 0)
            WriteToLog(QStringLiteral("Speech queue full (%1 messages), the oldest dropped: %2").arg(MaxSayQueue).arg(FSayBuffer.front().Message), 0);
        FSayBuffer.pop_front();
    }
    FSayBuffer.push_back({Msg, Voice});
}

void TDM::ReportDroppedMessages()
{
    if (FDroppedMessages > 1)
        WriteToLog(QStringLiteral("Speech queue full: %1 more of the oldest messages dropped").arg(FDroppedMessages - 1), 0);
    FDroppedMessages = 0;
}

void TDM::TimerTimer(QObject* /*Sender*/)
{
    if (INot)
        INot->BeforeAction();
    // Disabled while the tick runs, so ticks never nest and the next one comes one interval
    // after this one ends.
    Timer->SetEnabled(false);
    try {
        OpenWork();
        HandleSay();
        Timer->SetInterval(FTimerInterval);
        LastFinished = Now();
    } catch (...) {
        Timer->SetInterval(FSlowTimerInterval);
        CloseWork();
        Timer->SetEnabled(true);
        throw; // reported by the application's exception capture
    }
    Timer->SetEnabled(true);
}

void TDM::HandleSay()
{
    ReportDroppedMessages();
    if (FSayBuffer.empty())
        return;
    // Taken off the queue before the run, so a message whose run fails is not tried again.
    const QString text = FSayBuffer.front().Message;
    FSayBuffer.pop_front();
    WriteToMemo(QStringLiteral("Say_exe:") + text, 0);
    Say_EXE->SetCommandLine(QStringLiteral("@ ") + text);
    if (const int result = Say_EXE->ExecScript())
        throw EScriptingException(QStringLiteral("Say_exe could not run (code %1): %2").arg(result).arg(text));
    const TRunOutcome& outcome = Say_EXE->LastOutcome();
    if (outcome.Kind == TRunOutcome::rkStopped)
        WriteToLog(QStringLiteral("Say_exe stopped by the shut-down: ") + text, 0);
    // Counted like a program that cannot start: the tick fails and the exception is reported.
    if (outcome.Failed())
        throw EScriptingException(QStringLiteral("Say_exe failed, %1: %2").arg(outcome.Text(), text) + OutputExcerpt(Say_EXE->Product()));
}
