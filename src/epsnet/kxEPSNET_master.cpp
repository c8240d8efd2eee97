#include "epsnet/kxEPSNET_master.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "errorsystem/JCLAutoException.h"
#include "platform/CodePage.h"
#include <QByteArray>
#include <QDeadlineTimer>
#include <QScopeGuard>
#include <cstring>
#include <memory>
#include <typeinfo>

namespace {

// Time-outs of the frames: writing one, and waiting for its answer.
constexpr int FrameWriteTimeOut = 500;
constexpr int AnswerReadTimeOut = 1000;
// The wait of a pass that found nothing to send.
constexpr int IdleWait = 500;
// Room for any datagram, so that one receive always takes one whole.
constexpr int MaxAnswerDatagram = 65536;

} // namespace

// ---- TEPSNETTransaction ----

TEPSNETTransaction::TEPSNETTransaction()
{
    Request = std::make_unique<TEPSNETPacket>();
    Response = std::make_unique<TEPSNETPacket>();
}

std::unique_ptr<TEPSNETTransaction> TEPSNETTransaction::CreateWithParams(TEPSNETArea AArea, std::int32_t AAddr, std::int32_t ALength)
{
    auto transaction = std::make_unique<TEPSNETTransaction>();
    TEPSNETPacket* request = transaction->RequestPacket();
    request->Area = AArea;
    request->Address = AAddr;
    request->Length = ALength;
    return transaction;
}

std::unique_ptr<TDataTransaction> TEPSNETTransaction::Create() const { return std::make_unique<TEPSNETTransaction>(); }

namespace {

bool IsEPSNETPacket(const std::unique_ptr<TDataPacket>& packet)
{
    if (!packet)
        return false;
    const TDataPacket& object = *packet; // typeid of a plain reference: no call inside its operand
    return typeid(object) == typeid(TEPSNETPacket);
}

// The packet becomes what its constructor makes, in the same object: whatever a handler changed
// in it (flags, data, fields) is gone, as it would be in a fresh copy.
void RenewPacket(TDataPacket& packet)
{
    auto& epsnet = static_cast<TEPSNETPacket&>(packet);
    std::destroy_at(&epsnet);
    std::construct_at(&epsnet);
}

} // namespace

bool TEPSNETTransaction::RenewFrom(const TDataTransaction& Source)
{
    if (typeid(*this) != typeid(TEPSNETTransaction) || typeid(Source) != typeid(TEPSNETTransaction) || !IsEPSNETPacket(Request)
        || !IsEPSNETPacket(Response))
        return false;
    RenewPacket(*Request);
    RenewPacket(*Response);
    Tag = 0;
    Assign(Source);
    return true;
}

// ---- TkxEPSNETThread ----

QString TkxEPSNETThread::PubFileName() const
{
    std::lock_guard lock(SO());
    return FPubFileName;
}

void TkxEPSNETThread::SetPubFileName(const QString& value)
{
    std::lock_guard lock(SO());
    FPubFileName = value;
}

int TkxEPSNETThread::WriteBuf(const void* Buffer, int Count, int TimeOut)
{
    MESI = NextMESI(MESI);
    const QByteArray frame = QByteArray::fromRawData(static_cast<const char*>(Buffer), Count);
    const QByteArray whole = WrapFrame(frame, UDP(), MESI, PN);
    const int written = TComThread::WriteBuf(whole.constData(), static_cast<int>(whole.size()), TimeOut);
    return written == whole.size() ? Count : written;
}

int TkxEPSNETThread::TryReadBuf(void* Buffer, int Count, int TimeOut)
{
    if (!UDP())
        return TComThread::TryReadBuf(Buffer, Count, TimeOut);
    TCPConnect();
    FDatagram.resize(MaxAnswerDatagram);
    const int size = FSocket->RecvDatagram(FDatagram.data(), MaxAnswerDatagram, TimeOut);
    if (size < UdpHeaderSize)
        return 0;
    const QByteArrayView datagram(FDatagram.data(), size);
    const int frameLength = static_cast<std::uint8_t>(datagram[4]) << 8 | static_cast<std::uint8_t>(datagram[5]);
    if ((static_cast<std::uint8_t>(datagram[0]) << 8 | static_cast<std::uint8_t>(datagram[1])) != MESI) {
        DoLog(InvalidMESIText, lgErrorLevel1);
        return 0;
    }
    const int unpadded = UdpHeaderSize + frameLength;
    if ((size != unpadded && !(unpadded % 2 != 0 && size == unpadded + 1)) || frameLength > Count)
        return 0;
    std::memcpy(Buffer, FDatagram.data() + UdpHeaderSize, std::size_t(frameLength));
    return frameLength;
}

bool TkxEPSNETThread::ReadAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut)
{
    return UDP() ? ReadDatagramAnswer(awaited, Frame, TimeOut) : ReadStreamAnswer(awaited, Frame, TimeOut);
}

bool TkxEPSNETThread::ReadDatagramAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut)
{
    FDatagram.resize(MaxAnswerDatagram);
    const QDeadlineTimer deadline(TimeOut);
    for (;;) {
        const int size = ReadDatagram(FDatagram.data(), MaxAnswerDatagram, static_cast<int>(deadline.remainingTime()));
        if (size <= 0)
            return false;
        const QByteArrayView datagram(FDatagram.data(), size);
        const TAnswerCheck check = CheckUdpAnswer(datagram, MESI, awaited);
        if (check == acValid) {
            NoteAnswerTaken();
            Frame = UdpAnswerFrame(datagram, awaited);
            return true;
        }
        // A late, doubled or stray datagram: the awaited answer may still come.
        NoteDroppedAnswer(check);
        if (deadline.hasExpired())
            return false;
    }
}

bool TkxEPSNETThread::ReadStreamAnswer(const TAwaitedAnswer& awaited, QByteArrayView& Frame, int TimeOut)
{
    const int frameSize = awaited.FrameSize();
    FStream.resize(0);
    const QDeadlineTimer deadline(TimeOut);
    for (;;) {
        // What is kept starts where a frame may start, so no byte beyond the awaited answer is
        // read: the next request's answer stays on the line.
        const qsizetype kept = FStream.size();
        const int missing = frameSize - static_cast<int>(kept);
        FStream.resize(kept + missing);
        const int got = ReadBuf(FStream.data() + kept, missing, static_cast<int>(deadline.remainingTime()));
        FStream.resize(kept + std::max(got, 0));
        const TStreamScan scan = ScanForAnswer(FStream, awaited);
        if (scan.Rejected > 0)
            NoteDroppedAnswer(scan.LastRejection, scan.Rejected);
        else if (scan.Start > 0)
            NoteDroppedAnswer(acBadFrame);
        if (scan.Found) {
            NoteAnswerTaken();
            Frame = QByteArrayView(FStream).sliced(scan.Start, frameSize);
            return true;
        }
        if (got < missing || deadline.hasExpired())
            return false;
        FStream.remove(0, scan.Start);
    }
}

void TkxEPSNETThread::NoteDroppedAnswer(TAnswerCheck why, int count)
{
    FDroppedAnswers += count;
    if (why == acBadChecksum)
        FCRCFails += count;
    // An answer to another frame keeps the line that readers of the log know.
    if (FDropRun == 0)
        DoLog(why == acWrongIdentifier ? InvalidMESIText : QStringLiteral("Answer dropped: ") + AnswerCheckText(why), lgErrorLevel1);
    FDropRun += count;
}

void TkxEPSNETThread::NoteAnswerTaken()
{
    if (FDropRun > 1)
        DoLog(QStringLiteral("%1 answers dropped before this one").arg(FDropRun), lgErrorLevel1);
    FDropRun = 0;
}

// ---- TkxEPSNETMasterThread ----

TkxEPSNETMasterThread::~TkxEPSNETMasterThread() { OnPubFileLoaded = nullptr; }

void TkxEPSNETMasterThread::SetLogin(const QString& user, const QString& password)
{
    std::lock_guard lock(SO());
    FUser = user;
    FPassword = password;
}

void TkxEPSNETMasterThread::SetHttpPort(int port)
{
    std::lock_guard lock(SO());
    FHttpPort = port;
}

void TkxEPSNETMasterThread::SetHttpTimeOut(int milliseconds)
{
    std::lock_guard lock(SO());
    FHttpTimeOut = milliseconds;
}

void TkxEPSNETMasterThread::Execute()
{
    PN = UdpHeaderPN;
    FPending.reset();
    FSpare.reset();
    FRetries = 0;
    while (!Terminated()) {
        try {
            RunPass();
        } catch (const Exception& e) {
            // The pending request and the retry count stay for the next pass.
            LogPassFailure(e);
        } catch (...) {
            // Whatever else a pass raised is logged as well: the worker must not end silently.
            LogPassFailure(*WrapException(std::current_exception()));
        }
    }
    FPending.reset();
    FSpare.reset();
}

void TkxEPSNETMasterThread::RunPass()
{
    if (!FConnected && !Handshake())
        return;
    if (FPending)
        CountRetry();
    if (!FPending && !TakeNextRequest())
        return;
    Purge();
    if (!ServeRequest())
        return;
    FRetries = 0;
}

bool TkxEPSNETMasterThread::Handshake()
{
    // A late answer of the last connection must not pass for the PLC's greeting.
    Purge();
    if (!WriteData(FormatConnect(DestinationAddress(), Address()), FrameWriteTimeOut))
        return false;
    QByteArrayView answer;
    if (!ReadAnswer(AwaitConnectAnswer(DestinationAddress(), Address()), answer, AnswerReadTimeOut))
        return false;
    DoLog(QStringLiteral("Connected"), lgConnect);
    FConnected = true;
    return true;
}

void TkxEPSNETMasterThread::CountRetry()
{
    if (++FRetries <= GetMaxRetries())
        return;
    bool cancel = false;
    DoDisconnect(FPending.get(), cancel);
    DoDisconnect(FPending->Request.get(), cancel);
    if (cancel)
        FPending.reset();
}

bool TkxEPSNETMasterThread::TakeNextRequest()
{
    std::unique_ptr<TDataTransaction> next = TakeNextTransaction(FSpare);
    if (next && !dynamic_cast<TEPSNETTransaction*>(next.get())) {
        DoLog(QStringLiteral("Request of class %1 is not an EPSNET request; dropped").arg(next->Request ? next->Request->ClassName() : QString()),
              lgErrorLevel1);
        next.reset();
    }
    if (!next) {
        Event().WaitFor(IdleWait);
        return false;
    }
    FPending = std::move(next);
    return true;
}

bool TkxEPSNETMasterThread::ServeRequest()
{
    auto* packet = static_cast<TEPSNETTransaction*>(FPending.get())->RequestPacket();
    // Only read requests are planned; a packet that already carries data would never be served
    // and would hold the line for ever.
    if (packet->GetDataLength() != 0) {
        DoLog(QStringLiteral("Request with data is not a read request; dropped: ") + packet->GetLogString(), lgErrorLevel1);
        FPending.reset();
        return true;
    }
    if (!WriteData(FormatReadN(DestinationAddress(), Address(), packet->Area, packet->Address, packet->Length), FrameWriteTimeOut))
        return false;
    QByteArrayView answer;
    if (!ReadAnswer(AwaitReadAnswer(DestinationAddress(), Address(), packet->Length), answer, AnswerReadTimeOut))
        return false;
    packet->SetData(ReadAnswerData(answer, packet->Length));
    if (packet->PartCount <= 1) {
        if (FTagList)
            FTagList->UpdateFromPacket(*packet);
        DoReceive(packet);
    } else if (StagePart(*packet)) {
        DoReceive(packet);
    }
    FSpare = std::move(FPending);
    return true;
}

bool TkxEPSNETMasterThread::StagePart(const TEPSNETPacket& packet)
{
    // A part that does not follow the ones held (one was dropped, or the plan changed) starts
    // over: the group is read whole at its next turn.
    if (packet.PartIndex == 0)
        FStaged.clear();
    else if (FStaged.size() != std::size_t(packet.PartIndex) || FStaged.front()->PartCount != packet.PartCount) {
        FStaged.clear();
        return false;
    }
    if (packet.PartIndex < packet.PartCount) {
        FStaged.push_back(std::make_unique<TEPSNETPacket>());
        FStaged.back()->Assign(packet);
        return false;
    }
    // The confirming read of part 0: unchanged, the parts make one consistent whole.
    const bool unchanged = FStaged.front()->Data() == packet.Data();
    if (unchanged && FTagList) {
        TEpsnetTagListLock images(*FTagList);
        for (const auto& part : FStaged)
            FTagList->UpdateFromPacket(*part);
    }
    FStaged.clear();
    return unchanged;
}

void TkxEPSNETMasterThread::LogPassFailure(const Exception& e)
{
    DoLog(ClassName() + u':' + GetDeviceName() + u':' + e.ClassName() + u':' + e.Message(), lgErrorLevel1);
    WriteJCLInfoToFile(QString(), -1);
}

void TkxEPSNETMasterThread::DoTCPConnect()
{
    TkxEPSNETThread::DoTCPConnect();
    QString name;
    QString user;
    QString password;
    int port = PubFileHttpPort;
    int timeOut = PubFileTimeOut;
    {
        std::lock_guard lock(SO());
        name = FPubFileName;
        user = FUser;
        password = FPassword;
        port = FHttpPort;
        timeOut = FHttpTimeOut;
    }
    if (name.isEmpty())
        return;
    QString text;
    // A connection without its tag list is of no use: it is closed again, and the next pass
    // connects and downloads once more.
    const auto closeWithoutFile = qScopeGuard([&] {
        if (text.isEmpty())
            TCPClose();
    });
    DoLog(QStringLiteral("Downloading pub file ") + name + QStringLiteral(" ..."), lgConnect);
    const TCodePage codePage = FTagList ? FTagList->CodePage() : AnsiCodePage();
    const QString failed = QStringLiteral("Downliding pub file (%1) failed").arg(name);
    try {
        // Cut short when the thread is told to end, so a stalled web server cannot hold the
        // program's shut-down for the three requests' time-outs.
        text = GetPubFile(FSocket->GetRemoteSinIP(), user, password, name, codePage, port, timeOut,
                          [this] { return Terminated(); });
    } catch (const Exception& e) {
        // The reason of the web client follows the line users know.
        throw EEPSNETException(failed + QStringLiteral(": ") + e.Message());
    }
    if (text.isEmpty())
        throw EEPSNETException(failed);
    DoLog(name + QStringLiteral(" downloaded"), lgConnect);
    if (FTagList) {
        if (!LoadPubText(text)) {
            text.clear(); // not loaded: closed, and fetched again at the next connection
            return;
        }
        FStaged.clear();
        LaunchPublicFileLoaded();
    }
}

bool TkxEPSNETMasterThread::LoadPubText(const QString& text)
{
    QString failure;
    try {
        FTagList->LoadFromString(text);
    } catch (const Exception& e) {
        failure = e.Message();
    }
    // What is wrong with a file is said once, not at every connection that fetches it again.
    const QStringList warnings = FTagList->LoadWarnings();
    if (warnings != FReportedPubWarnings) {
        FReportedPubWarnings = warnings;
        for (const QString& warning : warnings)
            DoLog(warning, lgErrorLevel1);
    }
    if (failure != FReportedPubFailure && !failure.isEmpty())
        DoLog(failure, lgErrorLevel1);
    FReportedPubFailure = failure;
    return failure.isEmpty();
}

void TkxEPSNETMasterThread::LaunchPublicFileLoaded()
{
    Launch([this] {
        GuardCallbacks([this] {
            if (const TPubFileLoadedEvent handler = OnPubFileLoaded)
                handler(this);
        });
    });
}
