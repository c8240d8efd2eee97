// The simulator's timing and line faults (delay, trickle, reset, the serial line and its
// unplugging), seen from the program's end of a real socket or pty.
#include "SimProcess.h"
#include "TestSupport.h"
#include "epsnet/kxEPSNET_frames.h"
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char* const ConnectFrame = "10 00 7E 69 E7 16";
const char* const ConnectAnswer = "10 7E 00 08 86 16";
// Read 4 bytes from R 256, and the answer after "poke R256 01 02 03 04".
const char* const ReadFrame = "68 08 08 68 00 7E 6C 0B 03 00 01 04 FD 16";
const char* const ReadAnswer = "68 07 07 68 7E 00 08 01 02 03 04 90 16";

// The program's end of a byte stream, a TCP connection or the serial line's pty opened as a
// port is (raw), read one read() at a time so that a test sees how an answer arrived.
class TByteLine {
public:
    static TByteLine Tcp(const QString& address, quint16 port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &peer.sin_addr);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot connect to the simulator");
        }
        return TByteLine(fd);
    }

    static TByteLine Serial(const QString& link)
    {
        const int fd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (fd < 0 || ::tcgetattr(fd, &raw) != 0)
            throw std::runtime_error("cannot open the serial link " + link.toStdString());
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
        return TByteLine(fd);
    }

    TByteLine(TByteLine&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
    ~TByteLine()
    {
        if (FFd >= 0)
            ::close(FFd);
    }

    int Fd() const { return FFd; }

    void Send(const QByteArray& bytes)
    {
        if (::write(FFd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            throw std::runtime_error("write failed");
    }

    // Reads until count bytes came, the line failed (its errno in LastError) or the time is up;
    // Reads counts the reads that brought bytes.
    QByteArray Receive(int count, int timeOut = 3000)
    {
        QByteArray bytes;
        QDeadlineTimer deadline(timeOut);
        pollfd wait{FFd, POLLIN, 0};
        while (bytes.size() < count && ::poll(&wait, 1, int(std::max<qint64>(0, deadline.remainingTime()))) == 1) {
            char buffer[4096];
            const ssize_t got = ::read(FFd, buffer, std::min<size_t>(sizeof buffer, size_t(count - bytes.size())));
            if (got <= 0) {
                LastError = got < 0 ? errno : 0;
                break;
            }
            ++Reads;
            bytes.append(buffer, got);
        }
        return bytes;
    }

    int Reads = 0;
    int LastError = 0;

private:
    explicit TByteLine(int fd) : FFd(fd) {}
    int FFd = -1;
};

enum class TStream { Tcp, Serial };

// The stream faults hold for TCP and the serial line alike; each test runs over both.
class SimStreamFaults : public ::testing::TestWithParam<TStream> {
protected:
    TByteLine Line()
    {
        return GetParam() == TStream::Tcp ? TByteLine::Tcp(Sim.Address(), Sim.Port(QStringLiteral("tcp"))) : TByteLine::Serial(Link);
    }

    TestSupport::TTempDir Dir;
    QString Link = Dir.File(QStringLiteral("ttyPLC"));
    TSimProcess Sim{{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--serial"), Link}};
};

INSTANTIATE_TEST_SUITE_P(Streams, SimStreamFaults, ::testing::Values(TStream::Tcp, TStream::Serial),
                         [](const auto& stream) { return stream.param == TStream::Tcp ? "Tcp" : "Serial"; });

QString UdpFrame(quint16 identifier)
{
    return QStringLiteral("%1 %2 02 00 00 06 %3").arg(identifier >> 8, 2, 16, QLatin1Char('0')).arg(identifier & 0xFF, 2, 16, QLatin1Char('0')).arg(QLatin1String(ConnectFrame));
}

bool IsLink(const QString& path) { return QFileInfo(path).isSymLink(); }

} // namespace

TEST_P(SimStreamFaults, DelayedAnswerArrivesLateAndTheAnswerBehindItWaits)
{
    // "delay 400 1" holds the answer to a read; the connect answer asked for in the same write
    // follows it, and the next request is served as usual.
    ASSERT_EQ(Sim.Command(QStringLiteral("poke R256 01 02 03 04")), QStringLiteral("ok"));
    ASSERT_EQ(Sim.Command(QStringLiteral("delay 400 1")), QStringLiteral("ok"));
    TByteLine line = Line();
    QElapsedTimer clock;
    clock.start();
    line.Send(Bytes(ReadFrame) + Bytes(ConnectFrame));
    EXPECT_EQ(Hex(line.Receive(19, 200)), "");
    EXPECT_EQ(Hex(line.Receive(19, 5000)), Hex(Bytes(ReadAnswer) + Bytes(ConnectAnswer)));
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_LT(clock.elapsed(), 5000);

    line.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(line.Receive(6)), ConnectAnswer);
    EXPECT_EQ(Counter(Sim.Command(QStringLiteral("stats")), QStringLiteral("delayed")), 1);
}

TEST_P(SimStreamFaults, TrickledAnswerArrivesWholeInManyReads)
{
    // "trickle 1": a read of 64 bytes comes back byte by byte, 2 ms apart, the same bytes as the
    // untouched answer to the same request after it.
    ASSERT_EQ(Sim.Command(QStringLiteral("poke R256 01 02 03 04 05 06 07 08")), QStringLiteral("ok"));
    ASSERT_EQ(Sim.Command(QStringLiteral("trickle 1")), QStringLiteral("ok"));
    const QByteArray frame = FormatReadN(0, 126, _epsnet_r, 256, 64);
    const int size = ReadAnswerSize(64);
    TByteLine line = Line();
    QElapsedTimer clock;
    clock.start();
    line.Send(frame);
    const QByteArray trickled = line.Receive(size, 10000);
    EXPECT_GE(clock.elapsed(), (size - 1) * 2 / 2); // half the pauses at least, for a coarse clock
    EXPECT_GE(line.Reads, 2);

    line.Send(frame);
    const QByteArray whole = line.Receive(size);
    ASSERT_EQ(whole.size(), size);
    EXPECT_EQ(Hex(trickled), Hex(whole));
    EXPECT_EQ(Counter(Sim.Command(QStringLiteral("stats")), QStringLiteral("trickled")), 1);
}

TEST(SimTcpFaults, ResetSendsHalfAnAnswerThenResetsTheConnection)
{
    // "reset" first clears delay, trickle and reset switched on before it; then "reset 1" gives
    // the master half the read answer and a reset instead of an orderly end; a new connection is
    // served again.
    TSimProcess sim({QStringLiteral("--tcp"), QStringLiteral("0")});
    ASSERT_EQ(sim.Command(QStringLiteral("poke R256 01 02 03 04")), QStringLiteral("ok"));
    for (const char* command : {"delay 60000 1", "trickle 1", "reset 1", "reset"})
        ASSERT_EQ(sim.Command(QString::fromLatin1(command)), QStringLiteral("ok")) << command;
    TByteLine first = TByteLine::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    first.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(first.Receive(13)), ReadAnswer);
    EXPECT_EQ(first.Reads, 1);

    ASSERT_EQ(sim.Command(QStringLiteral("reset 1")), QStringLiteral("ok"));
    first.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(first.Receive(13)), Hex(Bytes(ReadAnswer).left(6)));
    EXPECT_EQ(first.LastError, ECONNRESET);

    TByteLine second = TByteLine::Tcp(sim.Address(), sim.Port(QStringLiteral("tcp")));
    second.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(second.Receive(13)), ReadAnswer);
    const QString counters = sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("reset")), 1);
    EXPECT_EQ(Counter(counters, QStringLiteral("delayed")), 0);
}

TEST(SimUdpFaults, LateAnswerKeepsTheIdentifierOfItsRequest)
{
    // "delay 400 1": the answer to request 1 is held; request 2, sent meanwhile, is answered at
    // once, and the answer to 1 comes after it, still carrying identifier 1.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0")});
    TRawSocket socket = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    ASSERT_EQ(sim.Command(QStringLiteral("delay 400 1")), QStringLiteral("ok"));
    QElapsedTimer clock;
    clock.start();
    socket.Send(Bytes(qPrintable(UdpFrame(1))));
    EXPECT_EQ(Hex(socket.ReceiveDatagram(200)), "");
    socket.Send(Bytes(qPrintable(UdpFrame(2))));
    EXPECT_EQ(Hex(socket.ReceiveDatagram()), "00 02 02 00 00 06 10 7E 00 08 86 16");
    EXPECT_EQ(Hex(socket.ReceiveDatagram(5000)), "00 01 02 00 00 06 10 7E 00 08 86 16");
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_EQ(Counter(sim.Command(QStringLiteral("stats")), QStringLiteral("delayed")), 1);
}

TEST(SimSerialLine, ServesFramesWhileTheProgramReopensItsPort)
{
    // A program opens the link, connects and sends a read split over two writes; it closes its
    // port and opens it again: the line stayed up and answers; at exit the link goes away.
    TestSupport::TTempDir dir;
    const QString link = dir.File(QStringLiteral("ttyPLC"));
    TSimProcess sim({QStringLiteral("--serial"), link});
    EXPECT_TRUE(sim.ReadyLine.contains(QStringLiteral(" serial=") + link)) << sim.ReadyLine.toStdString();
    ASSERT_EQ(sim.Command(QStringLiteral("poke R256 01 02 03 04")), QStringLiteral("ok"));
    {
        TByteLine port = TByteLine::Serial(link);
        port.Send(Bytes(ConnectFrame));
        EXPECT_EQ(Hex(port.Receive(6)), ConnectAnswer);
        port.Send(Bytes(ReadFrame).left(5));
        EXPECT_EQ(Hex(port.Receive(13, 300)), "");
        port.Send(Bytes(ReadFrame).mid(5));
        EXPECT_EQ(Hex(port.Receive(13)), ReadAnswer);
    }
    TByteLine reopened = TByteLine::Serial(link);
    reopened.Send(Bytes(ReadFrame));
    EXPECT_EQ(Hex(reopened.Receive(13)), ReadAnswer);
    EXPECT_EQ(sim.Terminate(), 0);
    EXPECT_EQ(Counter(sim.LastLine, QStringLiteral("read-frames")), 2);
    EXPECT_FALSE(IsLink(link));
}

TEST(SimSerialLine, SerialCloseUnplugsThePtyAndPlugsANewOneInLater)
{
    // "serial-close 600": the program's open port hangs up at once, the link is gone for a
    // while, then leads to a new pty that answers.
    TestSupport::TTempDir dir;
    const QString link = dir.File(QStringLiteral("ttyPLC"));
    TSimProcess sim({QStringLiteral("--serial"), link});
    TByteLine old = TByteLine::Serial(link);
    old.Send(Bytes(ConnectFrame));
    ASSERT_EQ(Hex(old.Receive(6)), ConnectAnswer);

    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(sim.Command(QStringLiteral("serial-close 600")), QStringLiteral("ok"));
    EXPECT_FALSE(IsLink(link));
    pollfd wait{old.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 2000), 1);
    EXPECT_TRUE(wait.revents & POLLHUP);
    EXPECT_EQ(::write(old.Fd(), "x", 1), -1);
    EXPECT_EQ(errno, EIO);

    EXPECT_TRUE(TestSupport::WaitUntil([&] { return IsLink(link); }, 600 + 5000));
    EXPECT_GE(clock.elapsed(), 300);
    TByteLine fresh = TByteLine::Serial(link);
    fresh.Send(Bytes(ConnectFrame));
    EXPECT_EQ(Hex(fresh.Receive(6)), ConnectAnswer);
    EXPECT_EQ(Counter(sim.Command(QStringLiteral("stats")), QStringLiteral("serial-closed")), 1);
}

TEST(SimFaultCommands, WrongUsesAreRefusedWithAMessage)
{
    // Each wrong use of the line faults gets "error: ..." saying why and the simulator goes on
    // serving; a serial link that would replace a plain file or lies in no folder stops the
    // start with status 2.
    TSimProcess sim({QStringLiteral("--udp"), QStringLiteral("0")});
    const struct {
        const char* Line;
        const char* Error;
    } cases[] = {
        {"delay 100", "delay needs milliseconds and a count"},
        {"delay soon 1", "delay MS needs a count"},
        {"delay 100 -1", "delay needs a count"},
        {"trickle 1", "applies to TCP and serial lines"},
        {"reset 1", "applies to TCP connections"},
        {"serial-close 100", "there is no serial line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        const QString reply = sim.Command(QString::fromUtf8(c.Line));
        EXPECT_TRUE(reply.startsWith(QStringLiteral("error: ")) && reply.contains(QString::fromUtf8(c.Error))) << reply.toStdString();
    }
    TRawSocket socket = TRawSocket::Udp(sim.Address(), sim.Port(QStringLiteral("udp")));
    socket.Send(Bytes(qPrintable(UdpFrame(1))));
    EXPECT_EQ(Hex(socket.ReceiveDatagram()), "00 01 02 00 00 06 10 7E 00 08 86 16");

    TestSupport::TTempDir dir;
    const QString plain = dir.File(QStringLiteral("notes.txt"));
    TestSupport::WriteFileBytes(plain, "keep me");
    const struct {
        QString Link;
        const char* Message;
    } links[] = {
        {plain, "exists and is not a symbolic link"},
        {dir.File(QStringLiteral("none/ttyPLC")), "Cannot make the serial link"},
    };
    for (const auto& l : links) {
        SCOPED_TRACE(l.Link.toStdString());
        const TSimRun run = RunSimToEnd({QStringLiteral("--serial"), l.Link});
        EXPECT_EQ(run.Status, 2);
        EXPECT_TRUE(run.Errors.contains(QString::fromUtf8(l.Message))) << run.Errors.toStdString();
    }
    EXPECT_EQ(TestSupport::ReadFileBytes(plain), "keep me");
}
