#pragma once
#include "comm/kxasync_thread.h"
#include "epsnet/kxEPSNET_frames.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TEpsnetThreadSafeTagList;

// Raised on the main thread after the tag list was reloaded from a freshly downloaded PUB file.
using TPubFileLoadedEvent = std::function<void(IComEventSender* Sender)>;

// One read request: both packets are EPSNET packets; the answer's data go into the request.
class TEPSNETTransaction : public TDataTransaction {
public:
    TEPSNETTransaction();
    static std::unique_ptr<TEPSNETTransaction> CreateWithParams(TEPSNETArea AArea, std::int32_t AAddr, std::int32_t ALength);
    std::unique_ptr<TDataTransaction> Create() const override;
    // Renews where this object and Source are of this very class and both packets are EPSNET
    // packets: each packet is put back into its constructor's state, then Source is assigned.
    bool RenewFrom(const TDataTransaction& Source) override;

    TEPSNETPacket* RequestPacket() const { return static_cast<TEPSNETPacket*>(Request.get()); }
};

// What every EPSNET thread needs: the own address, the UDP message identifier, the PUB file
// and the shared tag list, and the UDP framing of every frame.
class TkxEPSNETThread : public TComThread {
public:
    using TComThread::TComThread;

    QString ClassName() const override { return QStringLiteral("TkxEPSNETThread"); }

    std::int32_t Address() const noexcept { return FAddress.load(); }
    void SetAddress(std::int32_t value) noexcept { FAddress = value; }
    // Written by the component on the main thread while the worker reads them: under SO.
    QString PubFileName() const;
    void SetPubFileName(const QString& value);
    // Not owned; set before the worker starts.
    TEpsnetThreadSafeTagList* TagList() const noexcept { return FTagList; }
    void SetTagList(TEpsnetThreadSafeTagList* value) noexcept { FTagList = value; }

    // Identifier of the last frame sent; 0 before the first.
    std::uint16_t MESI = 0;
    // Third byte of the UDP header; the body sets it to 2.
    std::uint8_t PN = UdpHeaderPN;

    // Answers dropped since the start because they failed a check (any line), and junk runs
    // skipped on a stream.
    int DroppedAnswers() const noexcept { return FDroppedAnswers.load(); }

protected:
    // Reads the answer to the frame just sent and checks it whole before any byte of it is used:
    // on UDP one datagram is one answer (CheckUdpAnswer), on a stream junk is skipped up to the
    // next frame that passes (ScanForAnswer). Whatever fails is dropped and counted, and the wait
    // goes on until TimeOut. On success Frame is the answer's frame, valid until the next read.
    bool ReadAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut);
    // On UDP: one whole datagram, whose header must carry the last frame's identifier ("Invalid
    // MESI identifier" and 0 bytes when not) and the length of what came; its frame, when no
    // longer than Count, goes to Buffer. Bytes of one datagram never complete another.
    int TryReadBuf(void* Buffer, int Count, int TimeOut) override;
    // Every frame gets the next identifier; on UDP it goes out behind its header; an odd total
    // gets a pad byte. Count when the whole went out.
    int WriteBuf(const void* Buffer, int Count, int TimeOut) override;

    std::atomic<std::int32_t> FAddress{0};
    QString FPubFileName;
    TEpsnetThreadSafeTagList* FTagList = nullptr;

private:
    bool ReadDatagramAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut);
    bool ReadStreamAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut);
    // Counts what a check refused; the first of a run is logged with its reason.
    void NoteDroppedAnswer(TAnswerCheck why, int count = 1);
    // An answer was taken: a run of drops before it ends, with its count logged.
    void NoteAnswerTaken();

    // One datagram at a time, whole; and the bytes of a stream read for the current answer.
    std::vector<char> FDatagram;
    QByteArray FStream;
    std::atomic<int> FDroppedAnswers{0};
    int FDropRun = 0;
};

// The worker that talks to the PLC: connect frame, then the cyclic read requests in turn, each
// answer copied into the RAM image and reported on the main thread. Every network connection
// first downloads the PUB file and reloads the tag list.
class TkxEPSNETMasterThread : public TkxEPSNETThread {
public:
    using TkxEPSNETThread::TkxEPSNETThread;
    ~TkxEPSNETMasterThread() override;

    QString ClassName() const override { return QStringLiteral("TkxEPSNETMasterThread"); }

    std::int32_t DestinationAddress() const noexcept { return FDestinationAddress.load(); }
    void SetDestinationAddress(std::int32_t value) noexcept { FDestinationAddress = value; }
    // The web server's login, port and time-out (ms, per request) for the download; under SO.
    void SetLogin(const QString& user, const QString& password);
    void SetHttpPort(int port);
    void SetHttpTimeOut(int milliseconds);

    // Set and called on the main thread only.
    TPubFileLoadedEvent OnPubFileLoaded;

protected:
    void Execute() override;
    void DoTCPConnect() override;
    // Loads the downloaded text into the tag list; false when it cannot be loaded. Its warnings
    // and its failure are logged when they differ from the last load's.
    bool LoadPubText(const QString& text);
    // Calls OnPubFileLoaded on the main thread while the worker waits.
    void LaunchPublicFileLoaded();

private:
    // One pass of the body; false when it ended early.
    void RunPass();
    bool Handshake();
    // Counts a failed attempt of the pending request and raises the disconnect events once the
    // retries are used up; the request is dropped when a handler cancels it.
    void CountRetry();
    bool TakeNextRequest();
    bool ServeRequest();
    void LogPassFailure(const Exception& e);
    // Holds one part of a variable read in several requests; true once the confirming read
    // found part 0 unchanged and all parts went into the image together.
    bool StagePart(const TEPSNETPacket& packet);

    std::atomic<std::int32_t> FDestinationAddress{0};
    QString FUser;
    QString FPassword;
    int FHttpPort = PubFileHttpPort;
    int FHttpTimeOut = PubFileTimeOut;
    std::unique_ptr<TDataTransaction> FPending;
    // The copy of the last request served, renewed for the next turn instead of freed.
    std::unique_ptr<TDataTransaction> FSpare;
    int FRetries = 0;
    std::vector<std::unique_ptr<TEPSNETPacket>> FStaged;
    QStringList FReportedPubWarnings;
    QString FReportedPubFailure;
};
