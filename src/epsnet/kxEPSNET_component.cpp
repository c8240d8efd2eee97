#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include <algorithm>
#include <limits>

namespace {

// The longest read of one request on any line: the answer's length byte counts the data and
// three bytes more, and must not wrap.
constexpr std::int32_t MaxReadRequest = 246;

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
    if (ALength > MaxReadRequest)
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
    // In 64 bits: the sums of address and size must not overflow whatever a file holds.
    auto endOf = [](const TEPSNETTag& tag) { return std::int64_t{tag.Address()} + tag.Size(); };
    TEPSNETArea area = tags->Items(0)->Area();
    std::int64_t start = tags->Items(0)->Address();
    std::int64_t end = endOf(*tags->Items(0));
    for (int i = 1; i < tags->Count(); ++i) {
        const TEPSNETTag& tag = *tags->Items(i);
        // A tag that begins inside the group belongs to it, however far it reaches.
        if (tag.Area() != area || (tag.Address() >= end && endOf(tag) - start > MaxReadRequest)) {
            PlanGroup(area, start, end);
            area = tag.Area();
            start = tag.Address();
            end = endOf(tag);
        }
        end = std::max(end, endOf(tag));
    }
    PlanGroup(area, start, end);
}

void TkxEPSNETMaster::PlanGroup(TEPSNETArea area, std::int64_t start, std::int64_t end)
{
    const std::int64_t length = end - start;
    const int parts = static_cast<int>((length + MaxReadRequest - 1) / MaxReadRequest);
    if (parts <= 1) {
        AddPart(area, start, length, 0, 1);
        return;
    }
    for (int part = 0; part < parts; ++part) {
        const std::int64_t from = start + std::int64_t{part} * MaxReadRequest;
        AddPart(area, from, std::min<std::int64_t>(MaxReadRequest, end - from), part, parts);
    }
    AddPart(area, start, MaxReadRequest, parts, parts);
}

void TkxEPSNETMaster::AddPart(TEPSNETArea area, std::int64_t address, std::int64_t length, int index, int count)
{
    TComThread* thread = GetComThread();
    if (!thread)
        throw EEPSNETException(QStringLiteral("Communication with %1 is not open").arg(DeviceName()));
    auto transaction = TEPSNETTransaction::CreateWithParams(area, static_cast<std::int32_t>(address), static_cast<std::int32_t>(length));
    transaction->RequestPacket()->PartIndex = index;
    transaction->RequestPacket()->PartCount = count;
    thread->RList()->Add(std::move(transaction));
}

void TkxEPSNETMaster::DoPubFileLoaded()
{
    if (const TPubFileLoadedEvent handler = FOnPubFileLoaded)
        handler(this);
}
