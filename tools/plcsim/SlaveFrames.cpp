#include "SlaveFrames.h"
#include "common/kxtools.h"
#include <cstring>

namespace SlaveFrames {

namespace {

constexpr std::uint8_t ShortFrameStart = 0x10;
constexpr std::uint8_t VariableFrameStart = 0x68;
constexpr std::uint8_t FrameEnd = 0x16;
constexpr std::uint8_t ConnectFunction = 0x69;
constexpr std::uint8_t ReadFunction = 0x6C;
constexpr std::uint8_t ReadNService = 0x0B;
// The function code of the slave's answers; the master does not look at it.
constexpr std::uint8_t AnswerFunction = 0x08;
// Bytes of a variable frame besides the part its length bytes count: 68 L L 68 ... FCS 16.
constexpr int VariableFrameOverhead = 6;
constexpr int ReadFrameBodyLength = 8;

std::uint8_t Byte(QByteArrayView bytes, qsizetype at) { return static_cast<std::uint8_t>(bytes[at]); }

TParsed Refused(const QString& why) { return {std::nullopt, why}; }

TParsed ParseShortFrame(QByteArrayView frame)
{
    if (frame.size() != ConnectFrameSize || Byte(frame, 5) != FrameEnd)
        return Refused(QStringLiteral("short frame without its end byte"));
    if (CalculateFCS(frame.sliced(1, 3)) != Byte(frame, 4))
        return Refused(QStringLiteral("wrong check sum"));
    if (Byte(frame, 3) != ConnectFunction)
        return Refused(QStringLiteral("unknown function %1").arg(Byte(frame, 3), 2, 16, QLatin1Char('0')));
    TRequest request;
    request.Kind = TRequestKind::Connect;
    request.Destination = Byte(frame, 1);
    request.Source = Byte(frame, 2);
    return {request, {}};
}

TParsed ParseVariableFrame(QByteArrayView frame)
{
    const qsizetype length = Byte(frame, 1);
    if (frame.size() != length + VariableFrameOverhead || Byte(frame, 2) != length || Byte(frame, 3) != VariableFrameStart ||
        Byte(frame, frame.size() - 1) != FrameEnd)
        return Refused(QStringLiteral("broken variable frame"));
    if (CalculateFCS(frame.sliced(4, length)) != Byte(frame, frame.size() - 2))
        return Refused(QStringLiteral("wrong check sum"));
    if (length != ReadFrameBodyLength || Byte(frame, 6) != ReadFunction || Byte(frame, 7) != ReadNService)
        return Refused(QStringLiteral("unsupported request"));
    if (Byte(frame, 8) >= EPSNETAreaCount)
        return Refused(QStringLiteral("unknown area %1").arg(Byte(frame, 8)));
    TRequest request;
    request.Kind = TRequestKind::Read;
    request.Destination = Byte(frame, 4);
    request.Source = Byte(frame, 5);
    request.Area = static_cast<TEPSNETArea>(Byte(frame, 8));
    request.Address = static_cast<std::uint16_t>(Byte(frame, 9) | Byte(frame, 10) << 8);
    request.Length = Byte(frame, 11);
    return {request, {}};
}

} // namespace

qsizetype FrameLength(QByteArrayView stream)
{
    if (stream.isEmpty())
        return 0;
    if (Byte(stream, 0) == ShortFrameStart)
        return ConnectFrameSize;
    if (Byte(stream, 0) != VariableFrameStart)
        return -1;
    if (stream.size() < 4)
        return 0;
    if (Byte(stream, 1) != Byte(stream, 2) || Byte(stream, 3) != VariableFrameStart)
        return -1;
    return Byte(stream, 1) + VariableFrameOverhead;
}

TParsed ParseRequest(QByteArrayView frame)
{
    if (frame.size() >= ConnectFrameSize && Byte(frame, 0) == ShortFrameStart)
        return ParseShortFrame(frame);
    if (frame.size() >= VariableFrameOverhead && Byte(frame, 0) == VariableFrameStart)
        return ParseVariableFrame(frame);
    return Refused(QStringLiteral("not a frame"));
}

qsizetype ConnectAnswer(const TRequest& request, TAnswerBuffer& out)
{
    out[0] = static_cast<char>(ShortFrameStart);
    out[1] = static_cast<char>(request.Source);
    out[2] = static_cast<char>(request.Destination);
    out[3] = static_cast<char>(AnswerFunction);
    out[4] = static_cast<char>(CalculateFCS(QByteArrayView(out.data() + 1, 3)));
    out[5] = static_cast<char>(FrameEnd);
    return ConnectFrameSize;
}

qsizetype ReadAnswerAround(const TRequest& request, TAnswerBuffer& out)
{
    // The length byte counts the addresses, the function and the data; for reads above 252
    // bytes, which no master plans, only its low byte fits, as with the request's own N.
    const auto length = static_cast<char>((request.Length + 3) & 0xFF);
    out[0] = static_cast<char>(VariableFrameStart);
    out[1] = length;
    out[2] = length;
    out[3] = static_cast<char>(VariableFrameStart);
    out[4] = static_cast<char>(request.Source);
    out[5] = static_cast<char>(request.Destination);
    out[6] = static_cast<char>(AnswerFunction);
    const qsizetype end = ReadAnswerDataOffset + request.Length;
    out[end] = static_cast<char>(CalculateFCS(QByteArrayView(out.data() + 4, end - 4)));
    out[end + 1] = static_cast<char>(FrameEnd);
    return end + 2;
}

QByteArrayView Truncated(QByteArrayView answer)
{
    return answer.first(answer.size() / 2);
}

std::optional<TDatagram> SplitDatagram(QByteArrayView datagram)
{
    if (datagram.size() < UdpHeaderSize)
        return std::nullopt;
    const qsizetype frameLength = Byte(datagram, 4) << 8 | Byte(datagram, 5);
    if (datagram.size() < UdpHeaderSize + frameLength)
        return std::nullopt;
    TDatagram result;
    result.Identifier = static_cast<std::uint16_t>(Byte(datagram, 0) << 8 | Byte(datagram, 1));
    result.PN = Byte(datagram, 2);
    result.Frame = datagram.sliced(UdpHeaderSize, frameLength);
    return result;
}

qsizetype WrapAnswer(QByteArrayView answer, std::uint16_t identifier, std::uint8_t pn, TDatagramBuffer& out)
{
    out[0] = static_cast<char>(identifier >> 8);
    out[1] = static_cast<char>(identifier & 0xFF);
    out[2] = static_cast<char>(pn);
    out[3] = 0;
    out[4] = static_cast<char>(answer.size() >> 8);
    out[5] = static_cast<char>(answer.size() & 0xFF);
    std::memcpy(out.data() + UdpHeaderSize, answer.data(), std::size_t(answer.size()));
    qsizetype size = UdpHeaderSize + answer.size();
    if (size % 2 != 0)
        out[size++] = 0;
    return size;
}

QByteArrayView JunkBytes()
{
    static const char junk[] = {'\x68', '\x10', '\x16', '\x68', '\x05', '\x05', '\x68', '\x7E', '\x00', '\x10', '\xFF', '\x16'};
    return QByteArrayView(junk, sizeof junk);
}

QByteArray Forged(QByteArrayView datagram)
{
    QByteArray forged = datagram.toByteArray();
    const auto split = SplitDatagram(forged);
    if (!split || split->Frame.size() <= ConnectAnswerSize)
        return forged;
    char* frame = forged.data() + UdpHeaderSize;
    const qsizetype size = split->Frame.size();
    std::memset(frame + ReadAnswerDataOffset, 'F', std::size_t(size - ReadAnswerDataOffset - 2));
    frame[size - 2] = static_cast<char>(CalculateFCS(QByteArrayView(frame + 4, size - 6)));
    return forged;
}

QString Hex(QByteArrayView bytes)
{
    return StringToHex(bytes.toByteArray(), QStringLiteral(" "));
}

} // namespace SlaveFrames
