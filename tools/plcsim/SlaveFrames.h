#pragma once
#include "epsnet/kxEPSNET_frames.h"
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

// The slave's side of EPSNET, on bytes only: finding frames in a TCP stream, taking the two
// request frames apart and building their answers, and the UDP header around them.
namespace SlaveFrames {

enum class TRequestKind { Connect, Read };

struct TRequest {
    TRequestKind Kind = TRequestKind::Connect;
    std::uint8_t Destination = 0; // the station the master addressed
    std::uint8_t Source = 0;      // the master's own address, where the answer goes
    TEPSNETArea Area = _epsnet_x;
    std::uint16_t Address = 0;
    std::uint8_t Length = 0;
};

// A parsed request, or why the frame is none the slave serves.
struct TParsed {
    std::optional<TRequest> Request;
    QString Error;
};

// Bytes of the frame that starts the stream: 0 while more bytes are needed to tell, -1 when the
// first byte cannot start a frame (the caller drops it and looks again).
qsizetype FrameLength(QByteArrayView stream);

// Checks start, length, check sum and end bytes, then the function: the connect frame or a read
// of N bytes from one area.
TParsed ParseRequest(QByteArrayView frame);

// The longest answer: a read of 255 bytes in its frame.
inline constexpr int MaxAnswerSize = 255 + 9;
// Where the data bytes of a read answer start: after 68 L L 68 master station 08.
inline constexpr int ReadAnswerDataOffset = 7;
// Answers are built in place, so that serving a request allocates nothing.
using TAnswerBuffer = std::array<char, MaxAnswerSize>;
using TDatagramBuffer = std::array<char, UdpHeaderSize + MaxAnswerSize + 1>;

// The slave's short frame back to the master: 10 master station 08 FCS 16. Gives its size.
qsizetype ConnectAnswer(const TRequest& request, TAnswerBuffer& out);
// 68 L L 68 master station 08, the data bytes, FCS, 16, with L = 3 + the data bytes, around the
// request's Length data bytes already at ReadAnswerDataOffset. Gives its size.
qsizetype ReadAnswerAround(const TRequest& request, TAnswerBuffer& out);
// The first half of an answer (at least one byte less), for the short-answer fault.
QByteArrayView Truncated(QByteArrayView answer);

// The frame carried by a datagram, and the header fields the answer echoes.
struct TDatagram {
    std::uint16_t Identifier = 0;
    std::uint8_t PN = 0;
    QByteArrayView Frame;
};
// Splits header and frame; none when the datagram is shorter than its header says.
std::optional<TDatagram> SplitDatagram(QByteArrayView datagram);
// The answer datagram: the request's identifier and PN in the header, the answer, and a zero
// pad byte when the total is odd, as the master pads its own. Gives its size.
qsizetype WrapAnswer(QByteArrayView answer, std::uint16_t identifier, std::uint8_t pn, TDatagramBuffer& out);

// Bytes that are no answer but look like the start of one here and there, for the junk fault.
QByteArrayView JunkBytes();
// The answer datagram made a forgery: its data bytes all 'F', the check sum made to fit.
QByteArray Forged(QByteArrayView datagram);

// Hex bytes separated by blanks, for the frame log.
QString Hex(QByteArrayView bytes);

} // namespace SlaveFrames
