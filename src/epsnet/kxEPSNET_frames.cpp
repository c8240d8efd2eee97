#include "epsnet/kxEPSNET_frames.h"
#include <cstring>

namespace {

constexpr char AreaLetters[EPSNETAreaCount] = {'X', 'Y', 'S', 'R'};

constexpr std::uint8_t ShortFrameStart = 0x10;
constexpr std::uint8_t VariableFrameStart = 0x68;
constexpr std::uint8_t FrameEnd = 0x16;
constexpr std::uint8_t ConnectFunction = 0x69;
constexpr std::uint8_t ReadFunction = 0x6C;
constexpr std::uint8_t ReadNService = 0x0B;
// Bytes from the destination address to N, which the length bytes of the read frame count.
constexpr std::uint8_t ReadFrameBodyLength = 8;

char LowByte(std::int32_t value) { return static_cast<char>(value & 0xFF); }

bool IsArea(int value) { return value >= 0 && value < EPSNETAreaCount; }

} // namespace

TEPSNETArea CharToArea(QChar c)
{
    if (const std::optional<TEPSNETArea> area = TryCharToArea(c))
        return *area;
    throw EEPSNETException(UnknownAreaText(c));
}

std::optional<TEPSNETArea> TryCharToArea(QChar c) noexcept
{
    for (int area = 0; area < EPSNETAreaCount; ++area) {
        if (c == QLatin1Char(AreaLetters[area]))
            return static_cast<TEPSNETArea>(area);
    }
    return std::nullopt;
}

QString UnknownAreaText(QChar c) { return QStringLiteral("Unknown PLC area \"%1\"").arg(c); }

QChar AreaToChar(TEPSNETArea Area)
{
    if (!IsArea(Area))
        throw EEPSNETException(QStringLiteral("Undefined PLC area \"%1\"").arg(static_cast<int>(Area)));
    return QLatin1Char(AreaLetters[Area]);
}

std::uint8_t CalculateFCS(QByteArrayView data)
{
    unsigned sum = 0;
    for (char byte : data)
        sum += static_cast<std::uint8_t>(byte);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

QByteArray FormatConnect(std::int32_t destinationAddress, std::int32_t ownAddress)
{
    QByteArray frame;
    frame.reserve(ConnectFrameSize);
    frame.append(static_cast<char>(ShortFrameStart));
    frame.append(LowByte(destinationAddress));
    frame.append(LowByte(ownAddress));
    frame.append(static_cast<char>(ConnectFunction));
    frame.append(static_cast<char>(CalculateFCS(QByteArrayView(frame).sliced(1))));
    frame.append(static_cast<char>(FrameEnd));
    return frame;
}

QByteArray FormatReadN(std::int32_t destinationAddress, std::int32_t ownAddress, TEPSNETArea AArea,
                       std::int32_t AAddress, std::int32_t ALength)
{
    // Filled in place: the master builds one of these for every request it sends.
    QByteArray frame(ReadFrameSize, Qt::Uninitialized);
    char* bytes = frame.data();
    bytes[0] = static_cast<char>(VariableFrameStart);
    bytes[1] = static_cast<char>(ReadFrameBodyLength);
    bytes[2] = static_cast<char>(ReadFrameBodyLength);
    bytes[3] = static_cast<char>(VariableFrameStart);
    bytes[4] = LowByte(destinationAddress);
    bytes[5] = LowByte(ownAddress);
    bytes[6] = static_cast<char>(ReadFunction);
    bytes[7] = static_cast<char>(ReadNService);
    bytes[8] = static_cast<char>(AArea);
    bytes[9] = LowByte(AAddress);
    bytes[10] = LowByte(AAddress >> 8);
    bytes[11] = LowByte(ALength);
    bytes[12] = static_cast<char>(CalculateFCS(QByteArrayView(bytes + 4, 8)));
    bytes[13] = static_cast<char>(FrameEnd);
    return frame;
}

QByteArray ReadAnswerData(QByteArrayView answer, std::int32_t length)
{
    if (length < 0 || answer.size() < ReadAnswerSize(length))
        throw EEPSNETException(QStringLiteral("Answer too short (%1 bytes for a read of %2)").arg(answer.size()).arg(length));
    return answer.sliced(ReadAnswerDataOffset, length).toByteArray();
}

namespace {

void FillUdpHeader(char* header, std::uint16_t mesi, std::uint8_t pn, int frameLength)
{
    header[0] = static_cast<char>(mesi >> 8);
    header[1] = static_cast<char>(mesi & 0xFF);
    header[2] = static_cast<char>(pn);
    header[3] = '\0';
    header[4] = LowByte(frameLength >> 8);
    header[5] = LowByte(frameLength);
}

} // namespace

QByteArray BuildUdpHeader(std::uint16_t mesi, std::uint8_t pn, int frameLength)
{
    QByteArray header(UdpHeaderSize, Qt::Uninitialized);
    FillUdpHeader(header.data(), mesi, pn, frameLength);
    return header;
}

QByteArray WrapFrame(QByteArrayView frame, bool udp, std::uint16_t mesi, std::uint8_t pn)
{
    const qsizetype total = (udp ? UdpHeaderSize : 0) + frame.size();
    const qsizetype padded = total + total % 2;
    if (padded > MaxDatagramSize)
        throw EEPSNETException(QStringLiteral("Frame too long (%1 bytes)").arg(frame.size()));
    // One allocation for the whole datagram: the master wraps every frame it sends.
    QByteArray wire(padded, '\0');
    const qsizetype headerSize = udp ? UdpHeaderSize : 0;
    if (udp)
        FillUdpHeader(wire.data(), mesi, pn, static_cast<int>(frame.size()));
    if (!frame.isEmpty())
        std::memcpy(wire.data() + headerSize, frame.data(), size_t(frame.size()));
    return wire;
}

// ---- Answers ----

namespace {

std::uint8_t ByteAt(QByteArrayView bytes, qsizetype at) { return static_cast<std::uint8_t>(bytes[at]); }

// The answer to a read: 68 L L 68 master PLC function, the data, FCS, 16, with L = data + 3.
TAnswerCheck CheckReadFrame(QByteArrayView frame, const TAwaitedAnswer& awaited)
{
    const qsizetype last = frame.size() - 1;
    if (ByteAt(frame, 0) != VariableFrameStart || ByteAt(frame, 3) != VariableFrameStart || ByteAt(frame, last) != FrameEnd ||
        ByteAt(frame, 1) != ByteAt(frame, 2) || ByteAt(frame, 1) != awaited.Length + 3)
        return acBadFrame;
    if (CalculateFCS(frame.sliced(4, last - 5)) != ByteAt(frame, last - 1))
        return acBadChecksum;
    if (ByteAt(frame, 4) != awaited.Master || ByteAt(frame, 5) != awaited.Plc)
        return acWrongStations;
    return acValid;
}

// The answer to the connect frame: 10 master PLC function FCS 16.
TAnswerCheck CheckShortFrame(QByteArrayView frame, const TAwaitedAnswer& awaited)
{
    if (ByteAt(frame, 0) != ShortFrameStart || ByteAt(frame, 5) != FrameEnd)
        return acBadFrame;
    if (CalculateFCS(frame.sliced(1, 3)) != ByteAt(frame, 4))
        return acBadChecksum;
    if (ByteAt(frame, 1) != awaited.Master || ByteAt(frame, 2) != awaited.Plc)
        return acWrongStations;
    return acValid;
}

} // namespace

std::uint8_t TAwaitedAnswer::StartByte() const noexcept { return Kind == TAnswerKind::Connect ? ShortFrameStart : VariableFrameStart; }

TAwaitedAnswer AwaitConnectAnswer(std::int32_t destinationAddress, std::int32_t ownAddress)
{
    return {TAnswerKind::Connect, 0, static_cast<std::uint8_t>(ownAddress & 0xFF), static_cast<std::uint8_t>(destinationAddress & 0xFF)};
}

TAwaitedAnswer AwaitReadAnswer(std::int32_t destinationAddress, std::int32_t ownAddress, std::int32_t length)
{
    return {TAnswerKind::Read, length, static_cast<std::uint8_t>(ownAddress & 0xFF), static_cast<std::uint8_t>(destinationAddress & 0xFF)};
}

QString AnswerCheckText(TAnswerCheck check)
{
    switch (check) {
    case acValid:
        return QStringLiteral("valid");
    case acWrongIdentifier:
        return InvalidMESIText;
    case acBadHeader:
        return QStringLiteral("UDP header does not match the datagram");
    case acWrongSize:
        return QStringLiteral("not the size of the answer awaited");
    case acBadFrame:
        return QStringLiteral("broken frame");
    case acBadChecksum:
        return QStringLiteral("wrong check sum");
    case acWrongStations:
        return QStringLiteral("from another station or for another master");
    }
    return QStringLiteral("unknown");
}

TAnswerCheck CheckAnswerFrame(QByteArrayView frame, const TAwaitedAnswer& awaited)
{
    if (awaited.Length < 0 || frame.size() != awaited.FrameSize())
        return acWrongSize;
    return awaited.Kind == TAnswerKind::Connect ? CheckShortFrame(frame, awaited) : CheckReadFrame(frame, awaited);
}

TStreamScan ScanForAnswer(QByteArrayView bytes, const TAwaitedAnswer& awaited)
{
    TStreamScan scan;
    const qsizetype frameSize = awaited.FrameSize();
    const char start = static_cast<char>(awaited.StartByte());
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        if (bytes[at] != start)
            continue;
        scan.Start = at;
        if (bytes.size() - at < frameSize)
            return scan;
        const TAnswerCheck check = CheckAnswerFrame(bytes.sliced(at, frameSize), awaited);
        if (check == acValid) {
            scan.Found = true;
            return scan;
        }
        ++scan.Rejected;
        scan.LastRejection = check;
    }
    scan.Start = bytes.size();
    return scan;
}

TAnswerCheck CheckUdpAnswer(QByteArrayView datagram, std::uint16_t lastMESI, const TAwaitedAnswer& awaited)
{
    if (datagram.size() < UdpHeaderSize)
        return acBadHeader;
    if ((ByteAt(datagram, 0) << 8 | ByteAt(datagram, 1)) != lastMESI)
        return acWrongIdentifier;
    const qsizetype frameLength = ByteAt(datagram, 4) << 8 | ByteAt(datagram, 5);
    const qsizetype unpadded = UdpHeaderSize + frameLength;
    if (datagram.size() != unpadded && !(unpadded % 2 != 0 && datagram.size() == unpadded + 1))
        return acBadHeader;
    return CheckAnswerFrame(datagram.sliced(UdpHeaderSize, frameLength), awaited);
}

// ---- TEPSNETPacket ----

QString TEPSNETPacket::GetLogString() const
{
    // A log line must not fail: an area value that no letter stands for shows as "?".
    const QChar letter = IsArea(Area) ? AreaToChar(Area) : QChar(u'?');
    return QStringLiteral("%1:%2 Length:%3").arg(letter).arg(Address).arg(Length);
}

void TEPSNETPacket::Assign(const TDataPacket& Source)
{
    TLEPacket::Assign(Source);
    if (const auto* source = dynamic_cast<const TEPSNETPacket*>(&Source)) {
        DestinationAddress = source->DestinationAddress;
        Area = source->Area;
        Address = source->Address;
        Length = source->Length;
        PartIndex = source->PartIndex;
        PartCount = source->PartCount;
    }
}
