#include "announce/DMod.h"
#include "announce/ExternalScripting.h"
#include "comm/kxasync_thread.h"
#include "common/kxtools.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Timer.h"

namespace {

constexpr int DefaultTimerInterval = 10000;
const QString DefaultSayExe = QStringLiteral("($APPLICATION$)/say");

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

QString TDM::ModuleIniFileName() const { return ChangeFileExt(ExecutablePath(), QStringLiteral(".ini")); }

void TDM::ReadSettings(TIniFile& ini, TTTSMsg& welcome)
{
    FTimerInterval = ini.ReadInteger(QStringLiteral("common"), QStringLiteral("timer"), DefaultTimerInterval);
    FSlowTimerInterval = ini.ReadInteger(QStringLiteral("common"), QStringLiteral("SlowTimer"), DefaultTimerInterval);
    welcome.Message = ini.ReadString(QStringLiteral("common"), QStringLiteral("WelcomeMsg"), QString());
    welcome.Voice = 0;
    Say_EXE->SetExternalScriptor(ParsePath(ini.ReadString(QStringLiteral("TTS"), QStringLiteral("SAY_EXE"), DefaultSayExe)));
    Tag_Message = ini.ReadString(QStringLiteral("TTS"), QStringLiteral("Tag_Message"), QString());
}

void TDM::InitModule(const QString& IniFile, const QString& Section)
{
    // The module always reads the ini file beside the executable, whatever it is given.
    TAbstractDMod::InitModule(IniFile, Section);
    TTTSMsg welcome;
    {
        TIniFile ini(ModuleIniFileName());
        ReadSettings(ini, welcome);
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
}

void TDM::PLCReceivePacket(IComEventSender* /*Sender*/, TDataPacket* /*Packet*/)
{
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

void TDM::Say(const QString& Msg, std::int32_t Voice) { FSayBuffer.push_back({Msg, Voice}); }

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
    if (FSayBuffer.empty())
        return;
    // Taken off the queue before the run, so a message whose run fails is not tried again.
    const QString text = FSayBuffer.front().Message;
    FSayBuffer.pop_front();
    WriteToMemo(QStringLiteral("Say_exe:") + text, 0);
    Say_EXE->SetCommandLine(QStringLiteral("@ ") + text);
    Say_EXE->ExecScript();
}
