#include "EpsnetTestSupport.h"
#include "epsnet/kxEPSNET_frames.h"
#include <gtest/gtest.h>

// The check sum is the byte sum modulo 256.
TEST(EpsnetFrames, CheckSumIsTheByteSumModulo256)
{
    EXPECT_EQ(CalculateFCS({}), 0);
    EXPECT_EQ(CalculateFCS("abc"), 0x26);
    EXPECT_EQ(CalculateFCS(Bytes({0x00, 0x7E, 0x69})), 0xE7);
    EXPECT_EQ(CalculateFCS(Bytes({0xFF, 0xFF, 0x03})), 0x01);
}

// Only the four upper-case letters are areas, and only the four values have letters.
TEST(EpsnetFrames, AreasAndTheirLetters)
{
    const struct {
        char letter;
        TEPSNETArea area;
    } areas[] = {{'X', _epsnet_x}, {'Y', _epsnet_y}, {'S', _epsnet_s}, {'R', _epsnet_r}};
    for (const auto& a : areas) {
        EXPECT_EQ(CharToArea(QLatin1Char(a.letter)), a.area);
        EXPECT_EQ(AreaToChar(a.area), QLatin1Char(a.letter));
    }
    EXPECT_EQ(ErrorOf([] { CharToArea(u'r'); }), "EEPSNETException: Unknown PLC area \"r\"");
    EXPECT_EQ(ErrorOf([] { CharToArea(u'D'); }), "EEPSNETException: Unknown PLC area \"D\"");
    EXPECT_EQ(ErrorOf([] { AreaToChar(static_cast<TEPSNETArea>(4)); }), "EEPSNETException: Undefined PLC area \"4\"");
}

// The connect frame carries the low bytes of both addresses.
TEST(EpsnetFrames, ConnectFrameByteForByte)
{
    EXPECT_EQ(FormatConnect(0, 126), Bytes({0x10, 0x00, 0x7E, 0x69, 0xE7, 0x16}));
    EXPECT_EQ(FormatConnect(0x1FF, 0x102), Bytes({0x10, 0xFF, 0x02, 0x69, 0x6A, 0x16}));
}

// The read frame sends the address low byte first and only the low byte of the length.
TEST(EpsnetFrames, ReadFrameByteForByte)
{
    EXPECT_EQ(FormatReadN(0, 126, _epsnet_r, 256, 32),
              Bytes({0x68, 0x08, 0x08, 0x68, 0x00, 0x7E, 0x6C, 0x0B, 0x03, 0x00, 0x01, 0x20, 0x19, 0x16}));

    const QByteArray split = FormatReadN(0, 126, _epsnet_x, 0x1234, 10);
    EXPECT_EQ(split.mid(8, 4), Bytes({0x00, 0x34, 0x12, 0x0A}));

    const QByteArray longRead = FormatReadN(0, 126, _epsnet_s, 0, 300);
    ASSERT_EQ(longRead.size(), ReadFrameSize);
    EXPECT_EQ(static_cast<std::uint8_t>(longRead[11]), 0x2C);
    EXPECT_EQ(static_cast<std::uint8_t>(longRead[12]), CalculateFCS(QByteArrayView(longRead).sliced(4, 8)));
}

// The data of a read answer are the bytes from offset 7; an answer shorter than N + 9 is refused.
TEST(EpsnetFrames, ReadAnswerGivesTheDataBytes)
{
    const QByteArray answer = Bytes({0x68, 0x05, 0x05, 0x68, 0x7E, 0x00, 0x08, 0xAA, 0xBB, 0x00, 0x16});
    EXPECT_EQ(ReadAnswerSize(2), 11);
    EXPECT_EQ(ReadAnswerData(answer, 2), Bytes({0xAA, 0xBB}));
    EXPECT_EQ(ReadAnswerData(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), 0), QByteArray());
    EXPECT_EQ(ErrorOf([&] { ReadAnswerData(answer, 3); }), "EEPSNETException: Answer too short (11 bytes for a read of 3)");
}

// On UDP the first frame after start goes out behind the header with identifier 1.
TEST(EpsnetFrames, UdpDatagramOfTheFirstConnectFrame)
{
    const std::uint16_t mesi = NextMESI(0);
    EXPECT_EQ(mesi, 1);
    EXPECT_EQ(WrapFrame(FormatConnect(0, 126), true, mesi),
              Bytes({0x00, 0x01, 0x02, 0x00, 0x00, 0x06, 0x10, 0x00, 0x7E, 0x69, 0xE7, 0x16}));
    EXPECT_EQ(WrapFrame(FormatConnect(0, 126), false, mesi), FormatConnect(0, 126));
}

// The header carries the identifier and the frame length big-endian; an odd total gets a zero pad.
TEST(EpsnetFrames, UdpHeaderIdentifierLengthAndPad)
{
    EXPECT_EQ(BuildUdpHeader(0xABCD, 2, 0x0123), Bytes({0xAB, 0xCD, 0x02, 0x00, 0x01, 0x23}));
    EXPECT_EQ(WrapFrame(Bytes({0x55}), true, 7), Bytes({0x00, 0x07, 0x02, 0x00, 0x00, 0x01, 0x55, 0x00}));
    EXPECT_EQ(WrapFrame(Bytes({0x55}), false, 7), Bytes({0x55, 0x00}));

    EXPECT_EQ(WrapFrame(QByteArray(MaxDatagramSize - UdpHeaderSize - 1, 'a'), true, 1).size(), MaxDatagramSize - 1);
    EXPECT_EQ(ErrorOf([] { WrapFrame(QByteArray(MaxDatagramSize - UdpHeaderSize, 'a'), true, 1); }),
              "EEPSNETException: Frame too long (7995 bytes)");
}

// The identifier wraps from 65535 to 0, and 0 then travels as 00 00.
TEST(EpsnetFrames, IdentifierWraps)
{
    EXPECT_EQ(NextMESI(65534), 65535);
    EXPECT_EQ(NextMESI(65535), 0);
    EXPECT_EQ(WrapFrame(FormatConnect(0, 126), true, NextMESI(65535)).left(2), Bytes({0x00, 0x00}));
}

namespace {

// The answer of PLC station 0 to master 126 for a read of the two bytes AA BB, and to the
// connect frame; the datagram carries the read answer for identifier 1, padded to an even size.
const QByteArray ReadAnswer = Bytes({0x68, 0x05, 0x05, 0x68, 0x7E, 0x00, 0x08, 0xAA, 0xBB, 0xEB, 0x16});
const QByteArray ConnectAnswer = Bytes({0x10, 0x7E, 0x00, 0x08, 0x86, 0x16});
const QByteArray Header = Bytes({0x00, 0x01, 0x02, 0x00, 0x00, 0x0B});

QByteArray With(QByteArray bytes, qsizetype at, int value)
{
    bytes[at] = static_cast<char>(value);
    return bytes;
}

} // namespace

// An answer is used only when every byte of it fits the request sent: kind, size, start, end
// and length bytes, check sum, stations, and on UDP the identifier and the header's length
// against what came.
TEST(EpsnetFrames, AnswersAreCheckedWhole)
{
    const TAwaitedAnswer read = AwaitReadAnswer(0, 126, 2);
    const TAwaitedAnswer connect = AwaitConnectAnswer(0, 126);
    const QByteArray datagram = Header + ReadAnswer + '\0';
    const struct {
        const char* Case;
        QByteArray Bytes;
        bool Udp;
        TAwaitedAnswer Awaited;
        TAnswerCheck Expected;
    } cases[] = {
        {"read answer", ReadAnswer, false, read, acValid},
        {"connect answer", ConnectAnswer, false, connect, acValid},
        {"one byte short", ReadAnswer.chopped(1), false, read, acWrongSize},
        {"answer to another size", ReadAnswer, false, AwaitReadAnswer(0, 126, 3), acWrongSize},
        {"connect answer for a read", ConnectAnswer, false, read, acWrongSize},
        {"bad start", With(ReadAnswer, 3, 0x67), false, read, acBadFrame},
        {"bad end", With(ReadAnswer, 10, 0x17), false, read, acBadFrame},
        {"length bytes disagree", With(ReadAnswer, 2, 0x04), false, read, acBadFrame},
        {"short frame without its end", With(ConnectAnswer, 5, 0x00), false, connect, acBadFrame},
        {"wrong check sum", With(ReadAnswer, 9, 0xEC), false, read, acBadChecksum},
        {"from another station", With(With(ReadAnswer, 5, 0x01), 9, 0xEC), false, read, acWrongStations},
        {"for another master", With(With(ConnectAnswer, 1, 0x7F), 4, 0x87), false, connect, acWrongStations},
        {"datagram", datagram, true, read, acValid},
        {"datagram without its pad byte", Header + ReadAnswer, true, read, acValid},
        {"another identifier", With(datagram, 1, 0x02), true, read, acWrongIdentifier},
        {"header longer than the datagram", With(datagram, 5, 0x0D), true, read, acBadHeader},
        {"header shorter than the datagram", With(datagram, 5, 0x09), true, read, acBadHeader},
        {"the rest of a datagram in another", datagram.first(8), true, read, acBadHeader},
        {"header alone", Header.first(5), true, read, acBadHeader},
        {"check sum in a datagram", With(datagram, 15, 0x00), true, read, acBadChecksum},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        EXPECT_EQ(c.Udp ? CheckUdpAnswer(c.Bytes, 1, c.Awaited) : CheckAnswerFrame(c.Bytes, c.Awaited), c.Expected);
    }
    EXPECT_EQ(UdpAnswerFrame(datagram, read), ReadAnswer);
    EXPECT_EQ(AnswerCheckText(acWrongIdentifier), "Invalid MESI identifier");
}

// On a stream, junk and frames that fail a check are skipped up to the answer; bytes that may
// still start it are kept for the next read.
TEST(EpsnetFrames, StreamScanSkipsJunkUpToTheAnswer)
{
    const TAwaitedAnswer read = AwaitReadAnswer(0, 126, 2);
    const QByteArray junk = Bytes({0x16, 0x68, 0x10, 0x00});
    const QByteArray broken = With(ReadAnswer, 9, 0x00);
    const struct {
        const char* Case;
        QByteArray Bytes;
        bool Found;
        qsizetype Start;
        int Rejected;
    } cases[] = {
        {"the answer alone", ReadAnswer, true, 0, 0},
        {"junk first", junk + ReadAnswer, true, 4, 1},
        {"a broken frame first", broken + ReadAnswer, true, 11, 2},
        {"junk alone", Bytes({0x16, 0x00, 0x10}), false, 3, 0},
        {"the start of a frame", junk.first(1) + ReadAnswer.first(5), false, 1, 0},
        {"nothing", QByteArray(), false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        const TStreamScan scan = ScanForAnswer(c.Bytes, read);
        EXPECT_EQ(scan.Found, c.Found);
        EXPECT_EQ(scan.Start, c.Start);
        EXPECT_EQ(scan.Rejected, c.Rejected);
    }
}

// The log text names area, address and length, never the data.
TEST(EpsnetFrames, PacketLogString)
{
    auto packet = AnswerPacket(_epsnet_r, 100, "abc");
    packet->Length = 20;
    EXPECT_EQ(packet->GetLogString(), "R:100 Length:20");
    packet->Area = static_cast<TEPSNETArea>(9);
    EXPECT_EQ(packet->GetLogString(), "?:100 Length:20");
}

// Assign copies the request fields only from another EPSNET packet.
TEST(EpsnetFrames, PacketAssign)
{
    TEPSNETPacket target;
    target.DestinationAddress = 5;
    target.Area = _epsnet_s;
    target.Address = 7;
    target.Length = 9;

    TLEPacket plain;
    plain.Name = QStringLiteral("plain");
    plain.Tag = 3;
    plain.SetData("xy");
    target.Assign(plain);
    EXPECT_EQ(target.Name, "plain");
    EXPECT_EQ(target.Tag, 3);
    EXPECT_EQ(target.Data(), "xy");
    EXPECT_EQ(target.DestinationAddress, 5);
    EXPECT_EQ(target.Area, _epsnet_s);
    EXPECT_EQ(target.Address, 7);
    EXPECT_EQ(target.Length, 9);

    auto source = AnswerPacket(_epsnet_r, 300, "abcd");
    source->DestinationAddress = 2;
    target.Assign(*source);
    EXPECT_EQ(target.DestinationAddress, 2);
    EXPECT_EQ(target.Area, _epsnet_r);
    EXPECT_EQ(target.Address, 300);
    EXPECT_EQ(target.Length, 4);
    EXPECT_EQ(target.Data(), "abcd");
}
