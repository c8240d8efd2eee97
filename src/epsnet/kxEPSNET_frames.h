#pragma once
#include "comm/kxasync_packets.h"
#include "platform/Exceptions.h"
#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QString>
#include <cstdint>
#include <optional>

// EPSNET framing: the PLC memory areas, the two request frames this master sends (connect and
// read N bytes), the frame check sum, the 6-byte header that wraps every frame on UDP, and the
// packet that carries one read request and its answer. Everything here works on bytes only, so
// the master thread just hands the results to its socket.

// The exception of the whole EPSNET unit.
VOCATOR_DECLARE_EXCEPTION(EEPSNETException, Exception)

// A PLC memory area; its value is the area byte of the read frame.
enum TEPSNETArea : std::uint8_t { _epsnet_x = 0, _epsnet_y = 1, _epsnet_s = 2, _epsnet_r = 3 };
inline constexpr int EPSNETAreaCount = 4;

// 'X', 'Y', 'S' or 'R' (upper case only); anything else raises UnknownAreaText.
TEPSNETArea CharToArea(QChar c);
// The same without raising: no value for a letter that is no area.
std::optional<TEPSNETArea> TryCharToArea(QChar c) noexcept;
// "Unknown PLC area "%s"".
QString UnknownAreaText(QChar c);
// The area's letter; a value outside 0..3 raises "Undefined PLC area "%d"".
QChar AreaToChar(TEPSNETArea Area);

// ---- Frames ----

// The sum of all bytes modulo 256; 0 for no bytes.
std::uint8_t CalculateFCS(QByteArrayView data);

inline constexpr int ConnectFrameSize = 6;
inline constexpr int ReadFrameSize = 14;
// The PLC answers the connect frame with one short frame; its content is not looked at.
inline constexpr int ConnectAnswerSize = 6;
// Offset of the first data byte in the answer to a read frame.
inline constexpr int ReadAnswerDataOffset = 7;

// The connect frame from this master (low byte of ownAddress) to the PLC (low byte of
// destinationAddress): 10 DA SA 69 FCS 16.
QByteArray FormatConnect(std::int32_t destinationAddress, std::int32_t ownAddress);
// The read frame for ALength bytes from AAddress of AArea: 68 08 08 68 DA SA 6C 0B area
// address-low address-high N FCS 16. Only the low 16 bits of the address and the low byte of the
// length travel; the planner keeps requests within 246 bytes.
QByteArray FormatReadN(std::int32_t destinationAddress, std::int32_t ownAddress, TEPSNETArea AArea,
                       std::int32_t AAddress, std::int32_t ALength);

// Bytes the PLC sends back for a read of length bytes: the frame around them takes 9.
constexpr int ReadAnswerSize(std::int32_t length) { return length + 9; }
// The length data bytes of a read answer whose frame has passed CheckAnswerFrame; an answer
// shorter than ReadAnswerSize(length) raises EEPSNETException.
QByteArray ReadAnswerData(QByteArrayView answer, std::int32_t length);

// ---- Answers ----

enum class TAnswerKind : std::uint8_t { Connect, Read };

// The answer that the request just sent calls for: its kind, the data bytes of a read, and the
// two stations, the PLC (the answer's source) and this master (its destination).
struct TAwaitedAnswer {
    TAnswerKind Kind = TAnswerKind::Connect;
    std::int32_t Length = 0;
    std::uint8_t Master = 0;
    std::uint8_t Plc = 0;

    int FrameSize() const noexcept { return Kind == TAnswerKind::Connect ? ConnectAnswerSize : ReadAnswerSize(Length); }
    // The byte every frame of this kind starts with.
    std::uint8_t StartByte() const noexcept;
};
TAwaitedAnswer AwaitConnectAnswer(std::int32_t destinationAddress, std::int32_t ownAddress);
TAwaitedAnswer AwaitReadAnswer(std::int32_t destinationAddress, std::int32_t ownAddress, std::int32_t length);

// Why an answer is not used; acValid when it is.
enum TAnswerCheck : std::uint8_t {
    acValid,
    acWrongIdentifier, // UDP: an answer to another frame
    acBadHeader,       // UDP: a header too short, or whose length disagrees with the datagram
    acWrongSize,       // not the size of the awaited answer
    acBadFrame,        // start, length or end bytes wrong, or of another kind of frame
    acBadChecksum,
    acWrongStations    // from another station, or for another master
};
// Why, in words, for the log; acWrongIdentifier gives InvalidMESIText.
QString AnswerCheckText(TAnswerCheck check);

// Checks one whole frame against the awaited answer: size, start and end bytes, both length
// bytes, check sum, then the stations.
TAnswerCheck CheckAnswerFrame(QByteArrayView frame, const TAwaitedAnswer& awaited);

// Where the awaited answer lies in bytes read from a stream (TCP, serial). Bytes that cannot
// start it are skipped, frames that start like it and fail a check are skipped as well (Rejected
// counts them); Found tells whether a valid frame starts at Start. Without one, Start is where
// the bytes still worth keeping begin: the start of a frame that needs more bytes to judge, or
// the end.
struct TStreamScan {
    bool Found = false;
    qsizetype Start = 0;
    int Rejected = 0;
    TAnswerCheck LastRejection = acValid;
};
TStreamScan ScanForAnswer(QByteArrayView bytes, const TAwaitedAnswer& awaited);

// ---- UDP header ----

inline constexpr int UdpHeaderSize = 6;
// The third header byte the master sends.
inline constexpr std::uint8_t UdpHeaderPN = 2;
// A datagram (header, frame and pad byte) is assembled in a buffer of this size.
inline constexpr int MaxDatagramSize = 8001;
// The text logged (category lgErrorLevel1) when an answer carries another identifier.
inline const QString InvalidMESIText = QStringLiteral("Invalid MESI identifier");

// The identifier of the next frame: one more than the last, 65535 wrapping to 0. The thread
// advances it on every write, whatever the transport, so the first frame carries 1.
constexpr std::uint16_t NextMESI(std::uint16_t mesi) { return static_cast<std::uint16_t>(mesi + 1u); }

// The 6 header bytes: MESI high, MESI low, PN, 0, frame length high, frame length low.
QByteArray BuildUdpHeader(std::uint16_t mesi, std::uint8_t pn, int frameLength);

// What the master writes for one frame: on UDP the header with mesi and pn before the frame,
// otherwise the frame alone; then one zero pad byte when the total is odd. Raises
// EEPSNETException when the whole would not fit the datagram buffer.
QByteArray WrapFrame(QByteArrayView frame, bool udp, std::uint16_t mesi, std::uint8_t pn = UdpHeaderPN);

// Checks one whole datagram against the identifier of the last frame sent and the awaited
// answer: header, its frame length against the bytes received (a pad byte allowed where the
// total is odd), then the frame. Gives acValid only for the one datagram that may be used.
TAnswerCheck CheckUdpAnswer(QByteArrayView datagram, std::uint16_t lastMESI, const TAwaitedAnswer& awaited);
// The frame inside a datagram that passed CheckUdpAnswer.
inline QByteArrayView UdpAnswerFrame(QByteArrayView datagram, const TAwaitedAnswer& awaited)
{
    return datagram.sliced(UdpHeaderSize, awaited.FrameSize());
}

// ---- Packet ----

// One read request: area, first address and length; after a successful read its data are
// exactly the Length bytes of the answer.
class TEPSNETPacket : public TLEPacket {
public:
    QString ClassName() const override { return QStringLiteral("TEPSNETPacket"); }

    // Area letter, ":", address, " Length:", length, as in R:100 Length:20; the data are left out.
    QString GetLogString() const override;
    // The inherited copy (name, tag, data); the request fields only from another EPSNET packet.
    void Assign(const TDataPacket& Source) override;

    // Carried and copied; the frames take the PLC's address from the master thread instead.
    std::int32_t DestinationAddress = 0;
    TEPSNETArea Area = _epsnet_x;
    std::int32_t Address = 0;
    std::int32_t Length = 0;
    // A variable longer than one answer is read in PartCount requests, PartIndex 0 onwards, and
    // its parts reach the image together; a last request numbered PartCount reads part 0 again,
    // so that a write of the PLC between the parts shows and the halves of two texts never meet.
    std::int32_t PartIndex = 0;
    std::int32_t PartCount = 1;
};
