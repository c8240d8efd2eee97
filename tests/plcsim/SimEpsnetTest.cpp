// The simulator's EPSNET slave, driven over real sockets with the exact bytes a master sends.
#include "SimProcess.h"
#include <gtest/gtest.h>
#include <random>

namespace {

// The connect frame from master 126 to station 0, and its answer.
const char* const ConnectFrame = "10 00 7E 69 E7 16";
const char* const ConnectAnswer = "10 7E 00 08 86 16";
// Read 4 bytes from R 256, and the answer after "poke R256 01 02 03 04".
const char* const ReadFrame = "68 08 08 68 00 7E 6C 0B 03 00 01 04 FD 16";
const char* const ReadAnswer = "68 07 07 68 7E 00 08 01 02 03 04 90 16";

enum class TTransport { Udp, Tcp };

// One master's side of the line: frames go out behind the UDP header on UDP and bare on TCP;
// answers come back the same way.
class TMasterLine {
public:
    TMasterLine(TTransport transport, const TSimProcess& sim)
        : FUdp(transport == TTransport::Udp),
          FSocket(FUdp ? TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")))
                       : TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp"))))
    {
    }

    void Send(const QByteArray& frame)
    {
        ++FIdentifier;
        if (!FUdp)
            return FSocket.Send(frame);
        QByteArray datagram = Bytes("00 00 02 00 00 00") + frame;
        datagram[0] = char(FIdentifier >> 8);
        datagram[1] = char(FIdentifier & 0xFF);
        datagram[5] = char(frame.size());
        FSocket.Send(datagram);
    }

    // The answer frame, or what came of it within the time; on UDP its header must carry the
    // request's identifier.
    QByteArray Receive(int size, int timeOut = 2000)
    {
        if (!FUdp)
            return FSocket.Receive(size, timeOut);
        const QByteArray datagram = FSocket.ReceiveDatagram(timeOut);
        if (datagram.isEmpty())
            return {};
        EXPECT_EQ((uchar(datagram[0]) << 8) | uchar(datagram[1]), FIdentifier);
        return datagram.mid(6, (uchar(datagram[4]) << 8) | uchar(datagram[5]));
    }

    TRawSocket& Socket() { return FSocket; }

private:
    bool FUdp;
    TRawSocket FSocket;
    quint16 FIdentifier = 0;
};

class SimEpsnet : public ::testing::TestWithParam<TTransport> {
protected:
    TSimProcess Sim{{QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--tcp"), QStringLiteral("0")}};
};

INSTANTIATE_TEST_SUITE_P(Transports, SimEpsnet, ::testing::Values(TTransport::Udp, TTransport::Tcp),
                         [](const auto& transport) { return transport.param == TTransport::Udp ? "Udp" : "Tcp"; });

} // namespace

TEST_P(SimEpsnet, AnswersConnectAndReadFramesByteForByte)
{
    // A master connects, then reads 4 bytes and then the 32 bytes of the longer example frame.
    ASSERT_EQ(Sim.Command(QStringLiteral("poke R256 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20")),
              QStringLiteral("ok"));
    TMasterLine line(GetParam(), Sim);
    line.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(line.Receive(6)), ConnectAnswer);
    line.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(line.Receive(13)), ReadAnswer);
    line.Send(Bytes("68 08 08 68 00 7E 6C 0B 03 00 01 20 19 16"));
    const QByteArray answer = line.Receive(41);
    ASSERT_EQ(answer.size(), 41);
    EXPECT_EQ(Hex(answer.left(7)), "68 23 23 68 7E 00 08");
    EXPECT_EQ(Hex(answer.mid(7, 32)), Hex(Bytes("0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20")));
    EXPECT_EQ(Hex(answer.right(1)), "16");

    EXPECT_EQ(Counter(Sim.Command(QStringLiteral("stats")), QStringLiteral("read-frames")), 2);
}

TEST_P(SimEpsnet, ReadsPastTheEndOfAnAreaGiveZeros)
{
    // The last two bytes of area X hold AA BB; a read of 4 bytes from there gets two zeros after them.
    ASSERT_EQ(Sim.Command(QStringLiteral("poke X65534 AA BB")), QStringLiteral("ok"));
    TMasterLine line(GetParam(), Sim);
    line.Send(Bytes("68 08 08 68 00 7E 6C 0B 00 FE FF 04 F6 16"));
    const QByteArray answer = line.Receive(13);
    EXPECT_EQ(Hex(answer.mid(7, 4)), "AA BB 00 00");
}

TEST_P(SimEpsnet, FramesItDoesNotServeGetNoAnswer)
{
    // Broken frames, frames for another station and unknown requests go unanswered and are
    // counted; the connect frame after them is answered as usual.
    TMasterLine line(GetParam(), Sim);
    const struct {
        const char* Frame;
        const char* Counter;
    } cases[] = {
        {"10 00 7E 69 E8 16", "bad-frames"},                                 // check sum
        {"10 00 7E 69 E7 17", "bad-frames"},                                 // end byte
        {"10 00 7E 6A E8 16", "bad-frames"},                                 // unknown function
        {"68 08 08 68 00 7E 6C 0B 07 00 01 04 01 16", "bad-frames"},         // area 7
        {"10 05 7E 69 EC 16", "foreign-frames"},                             // station 5
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.Frame);
        line.Send(Bytes(bad.Frame));
        EXPECT_EQ(Hex(line.Receive(6, 300)), "");
    }
    line.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(line.Receive(6)), ConnectAnswer);
    const QString counters = Sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("bad-frames")), 4);
    EXPECT_EQ(Counter(counters, QStringLiteral("foreign-frames")), 1);
    EXPECT_EQ(Counter(counters, QStringLiteral("connect-frames")), 1);
}

TEST_P(SimEpsnet, DroppedAndShortAnswersWearOff)
{
    // "drop 2" leaves two requests unanswered, "short 1" halves the next answer, then all is well.
    ASSERT_EQ(Sim.Command(QStringLiteral("poke R256 01 02 03 04")), QStringLiteral("ok"));
    TMasterLine line(GetParam(), Sim);
    ASSERT_EQ(Sim.Command(QStringLiteral("drop 2")), QStringLiteral("ok"));
    for (int i = 0; i < 2; ++i) {
        line.Send(Bytes(ReadFrame));
        EXPECT_EQ(Hex(line.Receive(13, 300)), "");
    }
    ASSERT_EQ(Sim.Command(QStringLiteral("short 1")), QStringLiteral("ok"));
    line.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(line.Receive(13, 300)), Hex(Bytes(ReadAnswer).left(6)));
    line.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(line.Receive(13)), ReadAnswer);

    const QString counters = Sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("dropped")), 2);
    EXPECT_EQ(Counter(counters, QStringLiteral("short")), 1);
    EXPECT_EQ(Counter(counters, QStringLiteral("answers")), 2);
}

TEST(SimEpsnetUdp, AnswerDatagramEchoesTheHeaderAndIsPaddedToEvenLength)
{
    // The first datagram of a master (identifier 1) and a read with identifier 0x1234.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0")});
    ASSERT_EQ(sim.Command(QStringLiteral("poke R256 01 02 03 04")), QStringLiteral("ok"));
    TRawSocket socket = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    socket.Send(Bytes("00 01 02 00 00 06 10 00 7E 69 E7 16"));
    EXPECT_EQ(Hex(socket.ReceiveDatagram()), "00 01 02 00 00 06 10 7E 00 08 86 16");
    socket.Send(Bytes("12 34 02 00 00 0E 68 08 08 68 00 7E 6C 0B 03 00 01 04 FD 16"));
    EXPECT_EQ(Hex(socket.ReceiveDatagram()), "12 34 02 00 00 0D 68 07 07 68 7E 00 08 01 02 03 04 90 16 00");
    // A header that promises more bytes than the datagram holds is not a frame.
    socket.Send(Bytes("00 03 02 00 00 0E 10 00 7E 69 E7 16"));
    EXPECT_EQ(Hex(socket.ReceiveDatagram(300)), "");
    EXPECT_EQ(Counter(sim.Command(QStringLiteral("stats")), QStringLiteral("bad-frames")), 1);
}

TEST(SimEpsnetUdp, WrongIdentifierFaultAnswersWithTheOlderIdentifier)
{
    // "wrongid 1": the answer to request 5 carries 4; the next answer is right again.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0")});
    TRawSocket socket = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    ASSERT_EQ(sim.Command(QStringLiteral("wrongid 1")), QStringLiteral("ok"));
    socket.Send(Bytes("00 05 02 00 00 06 10 00 7E 69 E7 16"));
    EXPECT_EQ(Hex(socket.ReceiveDatagram().left(2)), "00 04");
    socket.Send(Bytes("00 06 02 00 00 06 10 00 7E 69 E7 16"));
    EXPECT_EQ(Hex(socket.ReceiveDatagram().left(2)), "00 06");
    EXPECT_EQ(Counter(sim.Command(QStringLiteral("stats")), QStringLiteral("wrong-id")), 1);
}

TEST(SimEpsnetTcp, FramesAreFoundAcrossAndWithinWrites)
{
    // A frame split over two writes, two frames in one write, and garbage before a frame.
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0")});
    TRawSocket socket = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    socket.Send(Bytes("10 00 7E"));
    EXPECT_EQ(Hex(socket.Receive(6, 300)), "");
    socket.Send(Bytes("69 E7 16"));
    EXPECT_EQ(Hex(socket.Receive(6)), ConnectAnswer);
    socket.Send(Bytes(ConnectFrame) + Bytes(ConnectFrame));
    EXPECT_EQ(Hex(socket.Receive(12)), Hex(Bytes(ConnectAnswer) + Bytes(ConnectAnswer)));
    socket.Send(Bytes("FF 00") + Bytes(ConnectFrame));
    EXPECT_EQ(Hex(socket.Receive(6)), ConnectAnswer);
}

TEST(SimEpsnetTcp, CloseCommandEndsEveryConnection)
{
    // "close" drops the open connection; a new one is served.
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0")});
    TRawSocket first = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    first.Send(Bytes(ConnectFrame));
    ASSERT_EQ(Hex(first.Receive(6)), ConnectAnswer);
    EXPECT_EQ(sim.Command(QStringLiteral("close")), QStringLiteral("ok 1 closed"));
    EXPECT_TRUE(first.PeerClosed());
    TRawSocket second = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    second.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(second.Receive(6)), ConnectAnswer);
    const QString counters = sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("tcp-connections")), 2);
    EXPECT_EQ(Counter(counters, QStringLiteral("tcp-closed")), 1);
}

TEST(SimEpsnetGarbage, RandomBytesOnEveryPortNeverStopTheSimulator)
{
    // Random datagrams, a random TCP stream and random HTTP requests (fixed seed); afterwards the
    // simulator still answers a connect frame on UDP and TCP and still serves its login page.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0"), QStringLiteral("--tcp"), QStringLiteral("0"),
                     QStringLiteral("--http"), QStringLiteral("0")});
    std::mt19937 random(20240501);
    const auto garbage = [&](int maxSize, bool frameLike) {
        QByteArray bytes(int(random() % unsigned(maxSize)) + 1, '\0');
        for (char& byte : bytes)
            byte = char(random());
        if (frameLike) // start like a frame or a header more often than chance would
            bytes[0] = char(random() % 2 ? 0x68 : 0x10);
        return bytes;
    };
    TRawSocket udp = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    TRawSocket tcp = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    for (int i = 0; i < 300; ++i) {
        udp.Send(garbage(40, false));
        tcp.Send(garbage(300, i % 2 == 0));
    }
    const QByteArray lengths[] = {"-5", "abc", "999999999999", "0"};
    for (int i = 0; i < 20; ++i) {
        TRawSocket http = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("http")));
        if (i % 2)
            http.Send(garbage(2000, false) + "\r\n\r\n");
        else
            http.Send("GET /" + garbage(100, false).toHex() + " HTTP/1.0\r\nContent-Length: " + lengths[i / 2 % 4] + "\r\n\r\n");
        EXPECT_TRUE(http.Receive(1 << 16).startsWith("HTTP/1.0 4"));
    }

    TRawSocket freshUdp = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    freshUdp.Send(Bytes("00 01 02 00 00 06 10 00 7E 69 E7 16"));
    EXPECT_EQ(Hex(freshUdp.ReceiveDatagram()), "00 01 02 00 00 06 10 7E 00 08 86 16");
    TRawSocket freshTcp = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    freshTcp.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(freshTcp.Receive(6)), ConnectAnswer);
    TRawSocket http = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("http")));
    http.Send("GET /syswww/login.xml HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(http.Receive(1 << 16).startsWith("HTTP/1.0 200"));
    EXPECT_EQ(sim.Terminate(), 0);
}
