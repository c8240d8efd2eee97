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

// Only an answer that repeats the identifier of the last frame counts; a short header is a failed read.
TEST(EpsnetFrames, UdpAnswerHeaderCheck)
{
    EXPECT_EQ(CheckUdpHeader(Bytes({0x01, 0x02, 0x02, 0x00, 0x00, 0x06}), 0x0102), uhValid);
    EXPECT_EQ(CheckUdpHeader(Bytes({0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}), 0x0102), uhValid);
    EXPECT_EQ(CheckUdpHeader(Bytes({0x01, 0x01, 0x02, 0x00, 0x00, 0x06}), 0x0102), uhInvalidMESI);
    EXPECT_EQ(CheckUdpHeader(Bytes({0x02, 0x01, 0x02, 0x00, 0x00, 0x06}), 0x0102), uhInvalidMESI);
    EXPECT_EQ(CheckUdpHeader(Bytes({0x01, 0x02, 0x02, 0x00, 0x00}), 0x0102), uhShort);
    EXPECT_EQ(CheckUdpHeader({}, 0), uhShort);
    EXPECT_EQ(InvalidMESIText, "Invalid MESI identifier");
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
