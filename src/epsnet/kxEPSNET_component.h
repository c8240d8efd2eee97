#pragma once
#include "comm/kxasync_component.h"
#include "epsnet/kxEPSNET_master.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include <memory>

// The communication component of an EPSNET line: the shared tag list with the PLC's RAM images
// and the own EPSNET address.
class TkxEPSNETComponnet : public TComComponent {
    Q_OBJECT

public:
    explicit TkxEPSNETComponnet(QObject* owner);
    // Stops the thread before the tag list it uses goes.
    ~TkxEPSNETComponnet() override;

    TEpsnetThreadSafeTagList& TagList() const noexcept { return *FTagList; }
    std::int32_t Address() const noexcept { return FAddress; }
    void SetAddress(std::int32_t value);

protected:
    void UpdateDCB() override;

    std::unique_ptr<TEpsnetThreadSafeTagList> FTagList;
    std::int32_t FAddress = 0;
};

// The master of one PLC: its thread polls the cyclic read requests that cover every tag of the
// PLC's PUB file, which it downloads on every network connection.
class TkxEPSNETMaster : public TkxEPSNETComponnet {
    Q_OBJECT

public:
    explicit TkxEPSNETMaster(QObject* owner);
    ~TkxEPSNETMaster() override;

    // The inherited keys, then "PubFileName", "User", "Password", "DestinationAddress", and the
    // PLC's "CodePage" (default: the program's), "HttpPort" (default 80) and "HttpTimeOut" (ms per
    // request of the download, default 90000; values below 1 keep the default).
    void ReadFromIni(TIniFile& ini) override;

    std::int32_t DestinationAddress() const noexcept { return FDestinationAddress; }
    void SetDestinationAddress(std::int32_t value);
    const QString& PubFileName() const noexcept { return FPubFileName; }
    void SetPubFileName(const QString& value);
    const QString& User() const noexcept { return FUser; }
    void SetUser(const QString& value);
    const QString& Password() const noexcept { return FPassword; }
    void SetPassword(const QString& value);
    int HttpPort() const noexcept { return FHttpPort; }
    void SetHttpPort(int value);
    int HttpTimeOut() const noexcept { return FHttpTimeOut; }
    void SetHttpTimeOut(int value);
    const TPubFileLoadedEvent& OnPubFileLoaded() const noexcept { return FOnPubFileLoaded; }
    void SetOnPubFileLoaded(TPubFileLoadedEvent value);

    TComThread* GetComThread() const override;
    TkxEPSNETMasterThread* MasterThread() const noexcept { return FEPMT; }

    // Appends one read request to the thread's cyclic list. Raises EEPSNETException when the
    // component is closed or the request is longer than 246 bytes, which with the frame's own
    // three bytes is what an answer's length byte can count (on any transport).
    void AddR(TEPSNETArea AArea, std::int32_t AAddr, std::int32_t ALength, std::int32_t ATag);
    // Plans read requests of at most 246 bytes that cover every tag, in area and address order:
    // a group of tags reads from its first tag's address to the furthest end of any tag in it,
    // and a group longer than one request is read in parts (see TEPSNETPacket::PartIndex).
    void AddAllTagToRList();
    virtual void DoPubFileLoaded();

protected:
    TComThreadPtr<TComThread> CreateComThread() override;
    void DestroyComThread() override;
    void UpdateDCB() override;

private:
    // The requests of one group: [start, end) of area.
    void PlanGroup(TEPSNETArea area, std::int64_t start, std::int64_t end);
    void AddPart(TEPSNETArea area, std::int64_t address, std::int64_t length, int index, int count);
    void PushSettings(TkxEPSNETMasterThread& thread) const;

    TkxEPSNETMasterThread* FEPMT = nullptr;
    std::int32_t FDestinationAddress = 0;
    QString FPassword;
    QString FUser;
    QString FPubFileName;
    int FHttpPort = PubFileHttpPort;
    int FHttpTimeOut = PubFileTimeOut;
    TPubFileLoadedEvent FOnPubFileLoaded;
};
