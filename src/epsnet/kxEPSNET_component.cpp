#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include <algorithm>
#include <limits>

namespace {

// The longest read the PLC answers on a stream, and in one datagram.
constexpr std::int32_t MaxStreamRequest = 246;
constexpr std::int32_t MaxDatagramRequest = 1230;

} // namespace

// ---- TkxEPSNETComponnet ----

TkxEPSNETComponnet::TkxEPSNETComponnet(QObject* owner)
    : TComComponent(owner), FTagList(std::make_unique<TEpsnetThreadSafeTagList>())
{
}

TkxEPSNETComponnet::~TkxEPSNETComponnet() { CloseForDestruction(); }

void TkxEPSNETComponnet::SetAddress(std::int32_t value)
{
    FAddress = value;
    UpdateDCB();
}

void TkxEPSNETComponnet::UpdateDCB()
{
    TComComponent::UpdateDCB();
    if (auto* thread = dynamic_cast<TkxEPSNETThread*>(GetComThread()))
        thread->SetAddress(FAddress);
}

// ---- TkxEPSNETMaster ----

TkxEPSNETMaster::TkxEPSNETMaster(QObject* owner) : TkxEPSNETComponnet(owner)
{
    FAddress = 126;
    FPubFileName = QStringLiteral("var.pub");
}

TkxEPSNETMaster::~TkxEPSNETMaster()
{
    // No reload is reported to handlers that may already be gone.
    FOnPubFileLoaded = nullptr;
    if (FEPMT)
        FEPMT->OnPubFileLoaded = nullptr;
    CloseForDestruction();
}

void TkxEPSNETMaster::ReadFromIni(TIniFile& ini)
{
    TkxEPSNETComponnet::ReadFromIni(ini);
    const QString section = IniFileSection();
    SetPubFileName(ini.ReadString(section, QStringLiteral("PubFileName"), FPubFileName));
    SetUser(ini.ReadString(section, QStringLiteral("User"), FUser));
    SetPassword(ini.ReadString(section, QStringLiteral("Password"), FPassword));
    SetDestinationAddress(ini.ReadInteger(section, QStringLiteral("DestinationAddress"), FDestinationAddress));
    SetHttpPort(ini.ReadInteger(section, QStringLiteral("HttpPort"), FHttpPort));
    SetHttpTimeOut(ini.ReadInteger(section, QStringLiteral("HttpTimeOut"), FHttpTimeOut));
    const QString codePage = ini.ReadString(section, QStringLiteral("CodePage"), QString());
    if (!FTagList->SetCodePage(codePage))
        WriteToFile(QStringLiteral("Unknown code page \"%1\" in [%2]; the program's code page is used").arg(codePage, section));
}

void TkxEPSNETMaster::SetDestinationAddress(std::int32_t value)
{
    FDestinationAddress = value;
    UpdateDCB();
}

void TkxEPSNETMaster::SetPubFileName(const QString& value)
{
    FPubFileName = value;
    UpdateDCB();
}

void TkxEPSNETMaster::SetUser(const QString& value)
{
    FUser = value;
    UpdateDCB();
}

void TkxEPSNETMaster::SetPassword(const QString& value)
{
    FPassword = value;
    UpdateDCB();
}

void TkxEPSNETMaster::SetHttpPort(int value)
{
    FHttpPort = value;
    UpdateDCB();
}

void TkxEPSNETMaster::SetHttpTimeOut(int value)
{
    // No time-out at all would let a stalled web server hold the line for ever.
    FHttpTimeOut = value > 0 ? value : PubFileTimeOut;
    UpdateDCB();
}

void TkxEPSNETMaster::SetOnPubFileLoaded(TPubFileLoadedEvent value)
{
    FOnPubFileLoaded = std::move(value);
    UpdateDCB();
}

TComThread* TkxEPSNETMaster::GetComThread() const { return FEPMT; }

TComThreadPtr<TComThread> TkxEPSNETMaster::CreateComThread()
{
    // Every setting, the log settings included, is in place before the worker starts: its first
    // lines and its first connection must not race the component's push of them.
    try {
        auto thread = TComThread::Create<TkxEPSNETMasterThread>(DeviceName(), MultiServer(), [this](TkxEPSNETMasterThread& created) {
            created.SetTagList(FTagList.get());
            FEPMT = &created;
            UpdateDCB();
        });
        FEPMT = thread.get();
        return thread;
    } catch (...) {
        FEPMT = nullptr;
        throw;
    }
}

void TkxEPSNETMaster::DestroyComThread()
{
    FEPMT = nullptr;
    TkxEPSNETComponnet::DestroyComThread();
}

void TkxEPSNETMaster::UpdateDCB()
{
    TkxEPSNETComponnet::UpdateDCB();
    if (FEPMT)
        PushSettings(*FEPMT);
}

void TkxEPSNETMaster::PushSettings(TkxEPSNETMasterThread& thread) const
{
    thread.SetPubFileName(FPubFileName);
    thread.SetDestinationAddress(FDestinationAddress);
    thread.SetLogin(FUser, FPassword);
    thread.SetHttpPort(FHttpPort);
    thread.SetHttpTimeOut(FHttpTimeOut);
    thread.OnPubFileLoaded = FOnPubFileLoaded;
}

void TkxEPSNETMaster::AddR(TEPSNETArea AArea, std::int32_t AAddr, std::int32_t ALength, std::int32_t ATag)
{
    TComThread* thread = GetComThread();
    if (!thread)
        throw EEPSNETException(QStringLiteral("Communication with %1 is not open").arg(DeviceName()));
    const std::int32_t limit = thread->UDP() ? MaxDatagramRequest : MaxStreamRequest;
    if (ALength > limit)
        throw EEPSNETException(QStringLiteral("Request is too long (%1)").arg(ALength));
    auto transaction = TEPSNETTransaction::CreateWithParams(AArea, AAddr, ALength);
    transaction->Tag = ATag;
    thread->RList()->Add(std::move(transaction));
}

void TkxEPSNETMaster::AddAllTagToRList()
{
    TEpsnetTagListLock tags(*FTagList);
    if (tags->Count() == 0)
        return;
    tags->SotrByAddr();
    const TEPSNETTag* start = tags->Items(0);
    const TEPSNETTag* last = start;
    for (int i = 1; i < tags->Count(); ++i) {
        const TEPSNETTag* tag = tags->Items(i);
        // In 64 bits: addresses from a PUB file may lie anywhere in the 32-bit range.
        if (tag->Area() != start->Area() || std::int64_t{tag->Address()} + tag->Size() - start->Address() > MaxStreamRequest) {
            PlanPacket(*start, *last);
            start = tag;
        }
        last = tag;
    }
    PlanPacket(*start, *last);
}

void TkxEPSNETMaster::PlanPacket(const TEPSNETTag& start, const TEPSNETTag& last)
{
    std::int64_t addr = start.Address();
    std::int64_t length = std::int64_t{last.Address()} + last.Size() - addr;
    if (length > MaxStreamRequest) {
        AddR(start.Area(), static_cast<std::int32_t>(addr), MaxStreamRequest, 0);
        length -= MaxStreamRequest;
        addr += MaxStreamRequest;
    }
    // A length beyond the 32-bit range is refused like any other request that is too long.
    const auto clamped = static_cast<std::int32_t>(std::min<std::int64_t>(length, std::numeric_limits<std::int32_t>::max()));
    AddR(start.Area(), static_cast<std::int32_t>(addr), clamped, 0);
}

void TkxEPSNETMaster::DoPubFileLoaded()
{
    if (const TPubFileLoadedEvent handler = FOnPubFileLoaded)
        handler(this);
}
