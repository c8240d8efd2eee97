#include "ComTestSupport.h"
#include "comm/kxasync_serial.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace ComTest;
using TestSupport::WaitUntil;

namespace {

// An echo master on a line, logging everything to the line memo, with one repeat frame queued
// and every answer collected on the main thread.
class TEchoLine {
public:
    explicit TEchoLine(const QString& deviceName, int frame = 1)
        : Thread(TComThread::Create<TEchoThread>(deviceName, false, [](TEchoThread& thread) {
              thread.SetLogMemoIndex(LineMemoIndex);
              thread.SetEnableLog(true);
          }))
    {
        Thread->OnReceive = [this](IComEventSender*, TDataPacket* packet) { Answers.append(packet->Data()); };
        Thread->OnDisconnectTransaction = [this](IComEventSender*, TDataTransaction*, bool&) { ++Disconnects; };
        Thread->RList()->Add(MakeTransaction(frame, Frame(frame)));
        Thread->Event().SetEvent();
    }
    bool AllAnswersAre(const QByteArray& frame) const
    {
        return std::all_of(Answers.begin(), Answers.end(), [&](const QByteArray& answer) { return answer == frame; });
    }

    TComThreadPtr<TEchoThread> Thread;
    QList<QByteArray> Answers;
    int Disconnects = 0;
};

template <class T>
TComThreadPtr<T> LoggingThread(const QString& deviceName)
{
    return TComThread::Create<T>(deviceName, false, [](T& thread) {
        thread.SetLogMemoIndex(LineMemoIndex);
        thread.SetEnableLog(true);
    });
}

class Transports : public LoggingTest {};

termios TerminalSettingsOf(const QString& path)
{
    termios attributes{};
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::tcgetattr(fd, &attributes), 0);
    ::close(fd);
    return attributes;
}

bool HandleReadable(int handle, int timeoutMs)
{
    pollfd entry{handle, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

} // namespace

// Frames go out and come back unchanged over a UDP and a TCP client, which connect lazily and
// once for all their exchanges.
TEST_F(Transports, EchoOverNetworkClients)
{
    {
        TUdpPeer peer("127.0.0.41", TPeerMode::Echo);
        TEchoLine line(peer.DeviceName());
        ASSERT_TRUE(WaitUntil([&] { return line.Answers.size() >= 5; }));
        EXPECT_TRUE(line.AllAnswersAre(Frame(1)));
        EXPECT_EQ(line.Thread->GetReconnectsCount(), 0);
        EXPECT_TRUE(line.Thread->Connected());
        EXPECT_GE(line.Thread->GetTransactionCount(), 5);
    }
    {
        TTcpPeer peer("127.0.0.41", TPeerMode::Echo);
        TEchoLine line(peer.DeviceName(), 2);
        ASSERT_TRUE(WaitUntil([&] { return line.Answers.size() >= 5; }));
        EXPECT_TRUE(line.AllAnswersAre(Frame(2)));
        EXPECT_EQ(peer.Accepted(), 1);
        EXPECT_EQ(line.Thread->GetReconnectsCount(), 0);
        EXPECT_EQ(FLineMemo.Count("\tTry to TCP connect " + peer.DeviceName()), 1);
        EXPECT_TRUE(FLineMemo.Contains("\tTx:"));
        EXPECT_TRUE(FLineMemo.Contains("\tRx(8):"));
    }
}

// Nothing connects before the first write; two writes in a row connect once and run the
// connection hook once.
TEST_F(Transports, LazyConnectOnce)
{
    TTcpPeer peer("127.0.0.42", TPeerMode::Silent);
    const auto thread = LoggingThread<TLineThread>(peer.DeviceName());
    EXPECT_EQ(thread->Connects(), 0);
    EXPECT_TRUE(thread->WriteData(Frame(1), 500));
    EXPECT_TRUE(thread->WriteData(Frame(2), 500));
    EXPECT_EQ(thread->Connects(), 1);
    EXPECT_TRUE(WaitUntil([&] { return peer.Accepted() == 1; }));
    EXPECT_EQ(thread->GetReconnectsCount(), 0);
    // A read of nothing touches no line.
    QByteArray kept("kept");
    EXPECT_TRUE(thread->ReadData(0, kept, 100));
    EXPECT_EQ(kept, "kept");
}

// A UDP peer that stops answering: each read times out, is logged, closes the socket and
// reports a disconnect; the next write connects again, which counts as a reconnect.
TEST_F(Transports, SilentUdpPeerReconnects)
{
    TUdpPeer peer("127.0.0.43", TPeerMode::Silent);
    TEchoLine line(peer.DeviceName());
    ASSERT_TRUE(WaitUntil([&] { return line.Thread->GetReconnectsCount() >= 1; }));
    EXPECT_TRUE(FLineMemo.Contains("\tTCP: Read(0):Connection timed out"));
    EXPECT_TRUE(FLineMemo.Contains("\tTCP Close"));
    EXPECT_TRUE(FLineMemo.Contains("\tRx(8):No data to read"));
    EXPECT_GE(FLineMemo.Count("\tTry to TCP connect "), 2);
    EXPECT_GE(line.Disconnects, 1);
    EXPECT_FALSE(line.Thread->Connected());
    EXPECT_TRUE(line.Thread->LastErrors().contains("Rx(8):No data to read"));
}

// A TCP peer that answers short or resets the connection: the read reports what came, the line
// starts afresh, and with a peer that answers again the exchange goes on.
TEST_F(Transports, MisbehavingTcpPeer)
{
    {
        TTcpPeer peer("127.0.0.44", TPeerMode::HalfAnswer);
        TEchoLine line(peer.DeviceName());
        EXPECT_TRUE(WaitUntil([&] { return FLineMemo.Contains("\tTCP: Read(4):Connection timed out"); }));
        EXPECT_TRUE(line.Answers.isEmpty());
    }
    {
        TTcpPeer peer("127.0.0.44", TPeerMode::ResetAfterAnswer);
        TEchoLine line(peer.DeviceName());
        ASSERT_TRUE(WaitUntil([&] { return line.Answers.size() >= 2 && line.Thread->GetReconnectsCount() >= 1; }));
        EXPECT_TRUE(line.AllAnswersAre(Frame(1)));
        EXPECT_GE(peer.Accepted(), 2);
    }
}

// A datagram longer than asked for is read safely; its rest is dropped with the next purge and
// never taken for the next answer.
TEST_F(Transports, OversizeDatagram)
{
    TUdpPeer peer("127.0.0.45", TPeerMode::Oversize);
    TEchoLine line(peer.DeviceName());
    ASSERT_TRUE(WaitUntil([&] { return line.Answers.size() >= 4; }));
    EXPECT_TRUE(line.AllAnswersAre(Frame(1)));
}

// A TCP server binds once, waits for a client, serves it, and takes the next client once the
// first has gone.
TEST_F(Transports, TcpServerServesOneClientAfterAnother)
{
    const int port = FreePort("127.0.0.46", SOCK_STREAM);
    const auto thread = LoggingThread<TServeEchoThread>(QStringLiteral("TCPSERVER:127.0.0.46:%1").arg(port));
    for (int client = 1; client <= 2; ++client) {
        const int socket = ConnectTcp("127.0.0.46", port);
        ASSERT_GE(socket, 0);
        EXPECT_EQ(ExchangeOverStream(socket, Frame(client)), Frame(client));
        ::close(socket);
    }
    EXPECT_TRUE(FLineMemo.Contains("\tTCP Accep connection:127.0.0."));
    EXPECT_TRUE(WaitUntil([&] { return thread->GetReconnectsCount() == 1; }));
}

// A UDP server answers whoever sent the last datagram.
TEST_F(Transports, UdpServerAnswersTheSender)
{
    const int port = FreePort("127.0.0.47", SOCK_DGRAM);
    const auto thread = LoggingThread<TServeEchoThread>(QStringLiteral("UDPSERVER:127.0.0.47:%1").arg(port));
    const int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.47", &server.sin_addr);
    // Datagrams that come while the server rebinds after an idle read are lost, so the client
    // asks again until it hears back.
    QByteArray answer;
    ASSERT_TRUE(WaitUntil([&] {
        ::sendto(client, Frame(3).constData(), FrameSize, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
        char buffer[64];
        if (!HandleReadable(client, 200))
            return false;
        answer = QByteArray(buffer, static_cast<int>(::recv(client, buffer, sizeof buffer, 0)));
        return true;
    }));
    EXPECT_EQ(answer, Frame(3));
    ::close(client);
}

// An adopted connected socket serves its peer; when the peer goes, the thread ends, since such a
// socket cannot be made again.
TEST_F(Transports, AdoptedSocketEndsItsThreadWhenClosed)
{
    int listenerPort = 0;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.48", &address.sin_addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    listenerPort = ntohs(address.sin_port);
    const int client = ConnectTcp("127.0.0.48", listenerPort);
    const int served = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(served, 0);
    ::close(listener);

    const QString deviceName = QStringLiteral("TCPSOCKET:%1").arg(served);
    const auto thread = LoggingThread<TServeEchoThread>(deviceName);
    EXPECT_EQ(ExchangeOverStream(client, Frame(4)), Frame(4));
    ::close(client);
    ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
    EXPECT_TRUE(thread->Terminated());
    EXPECT_TRUE(FLineMemo.Contains("\tTCP Accep connection:127.0.0."));
    EXPECT_TRUE(FLineMemo.Contains("\tTCP socket is terminated:" + deviceName));
}

// Network names that cannot be connected give a clear log line and a thread that keeps running,
// or, for a socket number that is none, a thread that ends.
TEST_F(Transports, BadNetworkNamesAreLogged)
{
    const struct {
        const char* name;
        const char* logged;
        bool ends;
    } cases[] = {
        {"TCP:127.0.0.49:99999", "TCP: Connect:Port out of range (99999)", false},
        {"UDP:127.0.0.49:70000", "TCP: Connect:Port out of range (70000)", false},
        {"TCPSOCKET:abc", "TCP: Connect:Bad file descriptor", true},
        {"TCPSOCKET:0", "TCP: Connect:Socket operation on non-socket", true},
        {"TCP:127.0.0.49:1", "TCP: Connect:Connection refused", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TEchoLine line(QString::fromLatin1(c.name));
        EXPECT_TRUE(WaitUntil([&] { return line.Thread->LastErrors().contains(QString::fromLatin1(c.logged)); }))
            << line.Thread->LastErrors().join('|').toStdString();
        if (c.ends)
            EXPECT_TRUE(WaitUntil([&] { return line.Thread->Finished(); }));
        else
            EXPECT_FALSE(line.Thread->Finished());
    }
}

// A serial line: the settings reach the terminal, frames go out and come back. (A pseudo
// terminal holds rate, stop bits and handshake; some kernels refuse other data bits or parity
// on one.)
TEST_F(Transports, SerialLineOverPty)
{
    TPty pty;
    pty.StartEcho();
    TEchoLine line(CheckComName(pty.Path()));
    EXPECT_NE(line.Thread->GetComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(TerminalSettingsOf(pty.Path()))), static_cast<speed_t>(B115200));

    line.Thread->SetBaudRate(br9600);
    line.Thread->SetStopbits(sb20);
    line.Thread->SetFlowControl(fcCTS);
    termios attributes = TerminalSettingsOf(pty.Path());
    EXPECT_EQ(cfgetospeed(&attributes), static_cast<speed_t>(B9600));
    EXPECT_EQ(attributes.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
    line.Thread->SetFlowControl(fcNone);
    EXPECT_EQ(TerminalSettingsOf(pty.Path()).c_cflag & CRTSCTS, 0u);

    ASSERT_TRUE(WaitUntil([&] { return line.Answers.size() >= 3; }));
    EXPECT_TRUE(line.AllAnswersAre(Frame(1)));
    EXPECT_FALSE(FLineMemo.Contains("line settings not applied"));

    // A setting the terminal refuses (56000 bit/s has no terminal rate) is logged once however
    // often the record is applied, and leaves the line as it was.
    line.Thread->SetBaudRate(br56000);
    line.Thread->SetStopbits(sb10);
    EXPECT_EQ(FLineMemo.Count("\tSerial: line settings not applied:Invalid argument"), 1);
    attributes = TerminalSettingsOf(pty.Path());
    EXPECT_EQ(cfgetospeed(&attributes), static_cast<speed_t>(B9600));
    EXPECT_TRUE(attributes.c_cflag & CSTOPB);
    const int answered = static_cast<int>(line.Answers.size());
    EXPECT_TRUE(WaitUntil([&] { return line.Answers.size() > answered; }));
}

// A deferred port opens on the first write, closes after a read that brought less than asked,
// and opens again on the next write.
TEST_F(Transports, DeferedPortOpensClosesAndReopens)
{
    TPty pty;
    const auto thread = LoggingThread<TLineThread>("DEFERED:_" + pty.Path());
    thread->SetBaudRate(br19200);
    thread->SetDataBits(da8);
    EXPECT_EQ(thread->GetComHandle(), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(thread->WriteData(Frame(1), 500));
    EXPECT_NE(thread->GetComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(pty.Receive(FrameSize), Frame(1));
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(TerminalSettingsOf(pty.Path()))), static_cast<speed_t>(B19200));

    pty.Send("ab");
    QByteArray answer;
    EXPECT_FALSE(thread->ReadData(4, answer, 1000));
    EXPECT_EQ(answer, "ab");
    EXPECT_EQ(thread->GetComHandle(), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(thread->WriteData(Frame(2), 500));
    EXPECT_NE(thread->GetComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(pty.Receive(FrameSize), Frame(2));
}

// Purging drops what came in and leaves what goes out; RTS as direction signal switches flow
// control off and the line still sends.
TEST_F(Transports, SerialPurgeAndDirectionSignal)
{
    TPty pty;
    const auto thread = LoggingThread<TLineThread>(CheckComName(pty.Path()));
    pty.Send("junk");
    ASSERT_TRUE(HandleReadable(thread->GetComHandle(), GenerousMs));
    EXPECT_TRUE(thread->WriteData("out", 500));
    EXPECT_TRUE(thread->Purge());
    EXPECT_EQ(pty.Receive(3), "out");
    QByteArray answer;
    EXPECT_FALSE(thread->ReadData(4, answer, 100));
    EXPECT_EQ(answer, "");

    thread->SetRTSIsDirection(true);
    EXPECT_EQ(thread->GetFlowControl(), fcNone);
    EXPECT_EQ(thread->GetDCB().Flags, fBinary);
    EXPECT_TRUE(thread->WriteData("dir", 500));
    EXPECT_EQ(pty.Receive(3), "dir");
}

// The serial record maps onto the port's settings and back: rate, framing, parity check,
// handshakes and line levels.
TEST(SerialMapping, DcbAndTerminalSettings)
{
    DCB dcb;
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Flags = fBinary | fParity | fOutxCtsFlow | fRtsControlHandshake | fDtrControlEnable;
    TSerialSettings settings = SerialSettingsFromDCB(dcb);
    EXPECT_EQ(settings.BaudRate, 19200u);
    EXPECT_EQ(settings.DataBits, 7);
    EXPECT_EQ(settings.Parity, TSerialParity::Even);
    EXPECT_TRUE(settings.CheckParity);
    EXPECT_EQ(settings.StopBits, TSerialStopBits::Two);
    EXPECT_TRUE(settings.RtsCtsFlowControl);
    EXPECT_TRUE(settings.Dtr);
    EXPECT_FALSE(settings.XonXoffOutput);
    const DCB back = DCBFromSerialSettings(settings);
    EXPECT_EQ(back.Flags, dcb.Flags);
    EXPECT_EQ(back.StopBits, dcb.StopBits);
    EXPECT_EQ(back.Parity, dcb.Parity);

    dcb.Flags = fBinary | fOutX | fInX | fRtsControlEnable;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.XonChar = 'Q';
    dcb.XoffChar = 'S';
    settings = SerialSettingsFromDCB(dcb);
    EXPECT_EQ(settings.Parity, TSerialParity::Mark);
    EXPECT_EQ(settings.StopBits, TSerialStopBits::OneAndHalf);
    EXPECT_TRUE(settings.XonXoffOutput && settings.XonXoffInput);
    EXPECT_EQ(settings.XonChar, 'Q');
    EXPECT_FALSE(settings.RtsCtsFlowControl);
    EXPECT_TRUE(settings.Rts);
    EXPECT_FALSE(settings.Dtr);
    EXPECT_EQ(DCBFromSerialSettings(settings).Flags, dcb.Flags);

    // A direction signal rests low: toggle and disabled RTS leave it down.
    for (std::uint32_t rts : {fRtsControlDisable, fRtsControlToggle}) {
        dcb.Flags = fBinary | rts;
        EXPECT_FALSE(SerialSettingsFromDCB(dcb).Rts) << rts;
    }
}
