#include "platform/BlockSocket.h"
#include "platform/Process.h"
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Every wait that a test expects to run out is short; this bounds how long one may take at most.
constexpr int GenerousMs = 5000;
constexpr int ShortMs = 200;

QString Text(int number) { return QString::number(number); }

// A listening socket on a port of the system's choice.
std::unique_ptr<TTCPBlockSocket> Listener(const QString& host = QStringLiteral("127.0.0.1"))
{
    auto listener = std::make_unique<TTCPBlockSocket>();
    listener->Bind(host, QStringLiteral("0"));
    listener->Listen();
    EXPECT_EQ(listener->LastError(), 0) << listener->LastErrorDesc().toStdString();
    return listener;
}

// Both ends of one loopback TCP connection.
struct TTcpPair {
    std::unique_ptr<TTCPBlockSocket> Listening = Listener();
    TTCPBlockSocket Client;
    TTCPBlockSocket Server;

    TTcpPair()
    {
        Client.Connect(QStringLiteral("127.0.0.1"), Text(Listening->GetLocalSinPort()));
        EXPECT_EQ(Client.LastError(), 0) << Client.LastErrorDesc().toStdString();
        Server.SetSocket(Listening->Accept(GenerousMs));
        EXPECT_EQ(Server.LastError(), 0) << Server.LastErrorDesc().toStdString();
    }
};

QByteArray ReadExactly(TBlockSocket& socket, int length, int timeoutMs = GenerousMs)
{
    QByteArray data(length, '\0');
    data.resize(socket.RecvBufferEx(data.data(), length, timeoutMs));
    return data;
}

// A UDP socket bound on loopback, as a server is.
std::unique_ptr<TUDPBlockSocket> UdpServer()
{
    auto server = std::make_unique<TUDPBlockSocket>();
    server->Bind(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_EQ(server->LastError(), 0) << server->LastErrorDesc().toStdString();
    return server;
}

// A UDP client set up the way the transports do it: bound to any address, then pointed at a peer.
std::unique_ptr<TUDPBlockSocket> UdpClientOf(const TUDPBlockSocket& server)
{
    auto client = std::make_unique<TUDPBlockSocket>();
    client->Bind(QStringLiteral("0.0.0.0"), QStringLiteral("0"));
    client->Connect(QStringLiteral("127.0.0.1"), Text(server.GetLocalSinPort()));
    EXPECT_EQ(client->LastError(), 0) << client->LastErrorDesc().toStdString();
    return client;
}

} // namespace

// A client connects to a listener, the accepted handle is adopted by a socket object, bytes flow
// both ways and both ends know each other's address; a linger set before connecting is applied.
TEST(BlockSocket, TcpConnectAcceptAndExchange)
{
    auto listener = Listener();
    EXPECT_FALSE(listener->CanRead(0));

    TTCPBlockSocket client;
    client.SetLinger(true, 0);
    client.Connect(QStringLiteral("127.0.0.1"), Text(listener->GetLocalSinPort()));
    ASSERT_EQ(client.LastError(), 0) << client.LastErrorDesc().toStdString();
    EXPECT_TRUE(listener->CanRead(GenerousMs));

    TTCPBlockSocket server;
    server.SetSocket(listener->Accept(GenerousMs));
    ASSERT_EQ(server.LastError(), 0);
    ASSERT_NE(server.Socket(), TBlockSocket::InvalidSocket);

    EXPECT_EQ(client.SendString("request"), 7);
    EXPECT_EQ(ReadExactly(server, 7), "request");
    EXPECT_EQ(server.SendString("answer"), 6);
    EXPECT_TRUE(client.CanRead(GenerousMs));
    EXPECT_EQ(client.RecvPacket(GenerousMs), "answer");

    EXPECT_EQ(client.GetRemoteSinIP(), "127.0.0.1");
    EXPECT_EQ(client.GetRemoteSinPort(), listener->GetLocalSinPort());
    EXPECT_EQ(server.GetRemoteSinPort(), client.GetLocalSinPort());

    linger value{};
    socklen_t size = sizeof value;
    ASSERT_EQ(::getsockopt(client.Socket(), SOL_SOCKET, SO_LINGER, &value, &size), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 0);
}

// Connecting to a port where nothing listens fails with the system's "refused" and its text, and
// leaves no half-made socket behind.
TEST(BlockSocket, TcpConnectRefused)
{
    // Bound but not listening: the port stays ours, so nobody else can be listening there.
    TTCPBlockSocket holder;
    holder.Bind(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    ASSERT_EQ(holder.LastError(), 0);

    TTCPBlockSocket client;
    client.Connect(QStringLiteral("127.0.0.1"), Text(holder.GetLocalSinPort()));
    EXPECT_EQ(client.LastError(), ECONNREFUSED);
    EXPECT_EQ(client.LastErrorDesc(), SystemErrorMessage(ECONNREFUSED));
    EXPECT_EQ(client.Socket(), TBlockSocket::InvalidSocket);
}

// A server whose queue of unaccepted clients is full lets a further client's connect run into
// the connect time-out.
TEST(BlockSocket, TcpConnectTimesOut)
{
    const int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(raw, 0), 0);
    ASSERT_EQ(::getsockname(raw, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const QString port = Text(ntohs(address.sin_port));

    // The first client fills the queue of a backlog of 0; the kernel drops the next one's requests.
    TTCPBlockSocket first;
    first.Connect(QStringLiteral("127.0.0.1"), port);
    ASSERT_EQ(first.LastError(), 0);

    TTCPBlockSocket late;
    late.SetConnectTimeout(ShortMs);
    QElapsedTimer timer;
    timer.start();
    late.Connect(QStringLiteral("127.0.0.1"), port);
    EXPECT_EQ(late.LastError(), TBlockSocket::TimedOutError);
    EXPECT_EQ(late.LastErrorDesc(), SystemErrorMessage(ETIMEDOUT));
    EXPECT_LT(timer.elapsed(), GenerousMs);
    EXPECT_EQ(late.Socket(), TBlockSocket::InvalidSocket);
    ::close(raw);
}

// A read that gets only part of its bytes returns what came with the time-out error; nothing of
// the stream is lost, so the next read goes on where the last stopped.
TEST(BlockSocket, TcpRecvBufferExTimesOutWithWhatArrived)
{
    TTcpPair pair;
    pair.Server.SendString("abc");

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ReadExactly(pair.Client, 5, ShortMs), "abc");
    EXPECT_EQ(pair.Client.LastError(), TBlockSocket::TimedOutError);
    EXPECT_EQ(pair.Client.LastErrorDesc(), SystemErrorMessage(ETIMEDOUT));
    EXPECT_LT(timer.elapsed(), GenerousMs);

    pair.Server.SendString("defgh");
    EXPECT_EQ(ReadExactly(pair.Client, 2), "de");
    EXPECT_EQ(pair.Client.LastError(), 0);
    EXPECT_EQ(ReadExactly(pair.Client, 3), "fgh");

    pair.Client.SetRecvTimeout(ShortMs);
    char buffer[8];
    EXPECT_EQ(pair.Client.RecvBuffer(buffer, sizeof buffer), 0);
    EXPECT_EQ(pair.Client.LastError(), TBlockSocket::TimedOutError);
    pair.Server.SendString("ij");
    EXPECT_EQ(pair.Client.RecvBuffer(buffer, sizeof buffer), 2);
}

// Each read waits as long as it is told, whatever the read before it was told, also on an adopted
// handle that came non-blocking; a read told not to wait takes only what is there.
TEST(BlockSocket, RecvBufferExWaitsForItsOwnTimeOut)
{
    auto listener = Listener();
    TTCPBlockSocket client;
    client.Connect(QStringLiteral("127.0.0.1"), Text(listener->GetLocalSinPort()));
    const int accepted = listener->Accept(GenerousMs);
    ASSERT_GE(accepted, 0);
    ASSERT_EQ(::fcntl(accepted, F_SETFL, ::fcntl(accepted, F_GETFL) | O_NONBLOCK), 0);
    TTCPBlockSocket server;
    server.SetSocket(accepted);
    ASSERT_EQ(server.LastError(), 0);

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ReadExactly(server, 1, ShortMs), "");
    EXPECT_EQ(server.LastError(), TBlockSocket::TimedOutError);
    EXPECT_GE(timer.elapsed(), ShortMs - 10);

    std::thread late([&client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * ShortMs));
        client.SendString("late");
    });
    EXPECT_EQ(ReadExactly(server, 4, GenerousMs), "late");
    late.join();
    EXPECT_EQ(server.LastError(), 0);

    client.SendString("ab");
    ASSERT_TRUE(server.CanRead(GenerousMs));
    EXPECT_EQ(ReadExactly(server, 3, 0), "ab");
    EXPECT_EQ(server.LastError(), TBlockSocket::TimedOutError);
}

// The peer going away, in order or by a reset, is a read error; writing to the reset connection
// fails too, without a SIGPIPE ending the process.
TEST(BlockSocket, TcpPeerCloseAndResetAreErrors)
{
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        TTcpPair pair;
        pair.Server.SendString("x");
        if (reset)
            pair.Server.SetLinger(true, 0);
        pair.Server.CloseSocket();

        EXPECT_EQ(ReadExactly(pair.Client, 4), "x");
        EXPECT_EQ(pair.Client.LastError(), ECONNRESET);
        EXPECT_EQ(pair.Client.LastErrorDesc(), SystemErrorMessage(ECONNRESET));
        if (reset) {
            EXPECT_EQ(pair.Client.SendString("more"), 0);
            EXPECT_TRUE(pair.Client.LastError() == EPIPE || pair.Client.LastError() == ECONNRESET)
                << pair.Client.LastError();
        }
    }
}

// The 6 header bytes and the frame behind them are two reads of one datagram; the datagram after
// it is read on its own, and each sender becomes the peer that answers go to.
TEST(BlockSocket, UdpDatagramReadInPieces)
{
    auto server = UdpServer();
    auto client = UdpClientOf(*server);

    EXPECT_EQ(client->SendString("request"), 7);
    EXPECT_EQ(server->RecvPacket(GenerousMs), "request");
    EXPECT_EQ(server->GetRemoteSinIP(), "127.0.0.1");
    EXPECT_EQ(server->GetRemoteSinPort(), client->GetLocalSinPort());

    const QByteArray header("\x12\x34\x02\x00\x00\x05", 6);
    EXPECT_EQ(server->SendString(header + "frame"), 11);
    EXPECT_EQ(server->SendString("next"), 4);

    EXPECT_EQ(ReadExactly(*client, 6), header);
    EXPECT_TRUE(client->CanRead(0));
    EXPECT_EQ(client->WaitingData(), 5 + 4);
    EXPECT_EQ(ReadExactly(*client, 5), "frame");
    EXPECT_EQ(ReadExactly(*client, 4), "next");
    EXPECT_EQ(client->LastError(), 0);
    EXPECT_EQ(client->GetRemoteSinPort(), server->GetLocalSinPort());
}

// A client locked to its server takes its datagrams whole, one per read, and drops what another
// sender sends, counting it; the server stays its peer.
TEST(BlockSocket, LockedUdpClientTakesOnlyItsPeersDatagramsWhole)
{
    auto server = UdpServer();
    auto client = UdpClientOf(*server);
    client->SetPeerLocked(true);
    auto stranger = UdpServer();
    stranger->Connect(QStringLiteral("127.0.0.1"), Text(client->GetLocalSinPort()));

    EXPECT_EQ(stranger->SendString("forged"), 6);
    server->Connect(QStringLiteral("127.0.0.1"), Text(client->GetLocalSinPort()));
    EXPECT_EQ(server->SendString("short"), 5);
    EXPECT_EQ(server->SendString("next one"), 8);
    char buffer[64];
    EXPECT_EQ(client->RecvDatagram(buffer, sizeof buffer, GenerousMs), 5);
    EXPECT_EQ(QByteArray(buffer, 5), "short");
    EXPECT_EQ(client->RecvDatagram(buffer, sizeof buffer, GenerousMs), 8);
    EXPECT_EQ(QByteArray(buffer, 8), "next one");
    EXPECT_EQ(client->ForeignDatagrams(), 1u);
    EXPECT_EQ(client->LastForeignSender(), QStringLiteral("127.0.0.1:") + Text(stranger->GetLocalSinPort()));
    EXPECT_EQ(client->GetRemoteSinPort(), server->GetLocalSinPort());
    EXPECT_EQ(client->RecvDatagram(buffer, sizeof buffer, 50), 0);
    EXPECT_EQ(client->LastError(), TBlockSocket::TimedOutError);
}

// Purge drops the unread rest of a datagram and every datagram waiting behind it; what is sent
// afterwards arrives whole.
TEST(BlockSocket, UdpPurgeDropsRestAndPendingDatagrams)
{
    auto server = UdpServer();
    auto client = UdpClientOf(*server);
    client->SendString("hello");
    ASSERT_EQ(server->RecvPacket(GenerousMs), "hello");

    for (const char* stale : {"stale one", "stale two", "stale three"})
        server->SendString(stale);
    EXPECT_EQ(ReadExactly(*client, 2), "st");

    client->Purge();
    EXPECT_EQ(client->LastError(), 0);
    EXPECT_FALSE(client->CanRead(0));
    EXPECT_EQ(ReadExactly(*client, 1, ShortMs), "");
    EXPECT_EQ(client->LastError(), TBlockSocket::TimedOutError);

    server->SendString("fresh");
    EXPECT_EQ(ReadExactly(*client, 5), "fresh");
}

// Only an open socket of the object's own kind is taken over; anything else is refused with a
// reason and stays untouched, and the object stays closed.
TEST(BlockSocket, AdoptingRefusesWhatIsNoSuchSocket)
{
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const int datagram = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const struct {
        int handle;
        int error;
    } cases[] = {{-1, EBADF}, {pipeEnds[0], ENOTSOCK}, {datagram, EPROTOTYPE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.handle);
        TTCPBlockSocket socket;
        socket.SetSocket(c.handle);
        EXPECT_EQ(socket.LastError(), c.error);
        EXPECT_EQ(socket.Socket(), TBlockSocket::InvalidSocket);
    }
    for (const int fd : {pipeEnds[0], pipeEnds[1], datagram})
        EXPECT_EQ(::close(fd), 0) << "the refused handle must stay open for its owner";
}

// Calls that cannot work report why instead of crashing: no socket, bad buffers, a port that
// names nothing, a datagram without a peer.
TEST(BlockSocket, BadUseGivesErrors)
{
    TTCPBlockSocket closed;
    char buffer[4] = {};
    EXPECT_EQ(closed.RecvBufferEx(buffer, 4, ShortMs), 0);
    EXPECT_EQ(closed.LastError(), ENOTCONN);
    EXPECT_EQ(closed.SendBuffer(buffer, 4), 0);
    EXPECT_EQ(closed.LastError(), ENOTCONN);
    EXPECT_FALSE(closed.CanRead(0));
    EXPECT_EQ(closed.WaitingData(), 0);
    closed.Purge();
    EXPECT_EQ(closed.LastError(), 0);

    TTcpPair pair;
    EXPECT_EQ(pair.Client.RecvBufferEx(buffer, -1, ShortMs), 0);
    EXPECT_EQ(pair.Client.LastError(), EINVAL);
    EXPECT_EQ(pair.Client.SendBuffer(nullptr, 3), 0);
    EXPECT_EQ(pair.Client.LastError(), EINVAL);

    for (const char* port : {"no-such-service", "70000"}) {
        TTCPBlockSocket unresolved;
        unresolved.Connect(QStringLiteral("127.0.0.1"), QString::fromLatin1(port));
        EXPECT_EQ(unresolved.LastError(), TBlockSocket::AddressError) << port;
        EXPECT_FALSE(unresolved.LastErrorDesc().isEmpty());
    }

    TUDPBlockSocket noPeer;
    noPeer.Bind(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_EQ(noPeer.SendString("x"), 0);
    EXPECT_EQ(noPeer.LastError(), EDESTADDRREQ);
}
