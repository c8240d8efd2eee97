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
    for (int area = 0; area < EPSNETAreaCount; ++area) {
        if (c == QLatin1Char(AreaLetters[area]))
            return static_cast<TEPSNETArea>(area);
    }
    throw EEPSNETException(QStringLiteral("Unknown PLC area \"%1\"").arg(c));
}

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

TUdpHeaderCheck CheckUdpHeader(QByteArrayView header, std::uint16_t lastMESI)
{
    if (header.size() < UdpHeaderSize)
        return uhShort;
    const auto received = static_cast<std::uint16_t>((static_cast<std::uint8_t>(header[0]) << 8) | static_cast<std::uint8_t>(header[1]));
    return received == lastMESI ? uhValid : uhInvalidMESI;
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
    }
}
