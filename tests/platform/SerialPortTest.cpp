#include "platform/SerialPort.h"
#include "platform/Process.h"
#include "TestSupport.h"
#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int GenerousMs = 5000;
constexpr std::uint32_t MaxWait = TSerialTimeouts::MaxWait;

// A pseudo terminal pair: the port under test opens the terminal side by its path, the test
// plays the device at the far end through the master side.
class TPty {
public:
    TPty()
    {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 || ::ptsname_r(FMaster, name, sizeof name) != 0)
            ADD_FAILURE() << "no pseudo terminal: " << std::strerror(errno);
        FPath = QString::fromLocal8Bit(name);
    }
    ~TPty() { CloseMaster(); }

    QString Path() const { return FPath; }
    void Send(const QByteArray& bytes) { ASSERT_EQ(::write(FMaster, bytes.constData(), bytes.size()), bytes.size()); }
    // What the port has sent so far, waiting for at least one byte.
    QByteArray Received()
    {
        pollfd entry{FMaster, POLLIN, 0};
        if (::poll(&entry, 1, GenerousMs) != 1)
            return {};
        char buffer[256];
        const ssize_t taken = ::read(FMaster, buffer, sizeof buffer);
        return taken > 0 ? QByteArray(buffer, taken) : QByteArray();
    }
    void CloseMaster()
    {
        if (FMaster >= 0)
            ::close(FMaster);
        FMaster = -1;
    }

private:
    int FMaster = -1;
    QString FPath;
};

// The port on the terminal side of a pty, in raw mode.
struct TPtyPort {
    TPty Pty;
    TSerialPort Port;
    TPtyPort()
    {
        EXPECT_TRUE(Port.Open(Pty.Path())) << Port.LastErrorDesc().toStdString();
        EXPECT_TRUE(Port.SetSettings(TSerialSettings()));
    }
    // Bytes sent by the far end reach the terminal side a moment later.
    void WaitUntilReadable()
    {
        pollfd entry{Port.Handle(), POLLIN, 0};
        ASSERT_EQ(::poll(&entry, 1, GenerousMs), 1);
    }
};

termios AttributesOf(int fd)
{
    termios attributes{};
    EXPECT_EQ(::tcgetattr(fd, &attributes), 0);
    return attributes;
}

} // namespace

// Port names as the engine writes them open the Linux devices they stand for.
TEST(SerialPort, DeviceNames)
{
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\COM1", "/dev/ttyS0"},         {"\\\\.\\com12", "/dev/ttyS11"},
        {" \\\\.\\COM2 ", "/dev/ttyS1"},       {"COM3", "/dev/ttyS2"},
        {"\\\\.\\/dev/ttyUSB0", "/dev/ttyUSB0"}, {"/dev/ttyACM0", "/dev/ttyACM0"},
        {"\\\\.\\ttyUSB1", "/dev/ttyUSB1"},    {"\\\\.\\COM0", "/dev/COM0"},
        {"\\\\.\\COMX", "/dev/COMX"},          {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialDevicePath(QString::fromLatin1(c.name)), QString::fromLatin1(c.path)) << c.name;
}

// Each setting becomes its termios flags on top of raw mode, and reads back as it was given;
// what termios cannot express is refused without touching the record.
TEST(SerialPort, SettingsBecomeTermiosFlags)
{
    using P = TSerialParity;
    using S = TSerialStopBits;
    const struct {
        TSerialSettings settings;
        speed_t speed;
        tcflag_t cflag;
        tcflag_t iflag;
    } cases[] = {
        {{9600, 8, P::None, false, S::One, false, false, false, 0x11, 0x13, true, true}, B9600, CS8, 0},
        {{19200, 7, P::Even, true, S::One, false, false, false, 0x11, 0x13, true, true}, B19200, CS7 | PARENB, INPCK},
        {{115200, 5, P::Odd, false, S::Two, true, false, false, 0x11, 0x13, true, true}, B115200, CS5 | PARENB | PARODD | CSTOPB | CRTSCTS, 0},
        {{300, 6, P::Mark, false, S::One, false, true, false, 'Q', 'S', true, true}, B300, CS6 | PARENB | PARODD | CMSPAR, IXON},
        {{57600, 8, P::Space, false, S::One, false, false, true, 0x11, 0x13, true, true}, B57600, CS8 | PARENB | CMSPAR, IXOFF},
    };
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.BaudRate);
        termios attributes{};
        attributes.c_lflag = ICANON | ECHO;
        attributes.c_oflag = OPOST;
        ASSERT_TRUE(SettingsToTermios(c.settings, attributes));
        EXPECT_EQ(cfgetospeed(&attributes), c.speed);
        EXPECT_EQ(cfgetispeed(&attributes), c.speed);
        EXPECT_EQ(attributes.c_cflag & framing, c.cflag);
        EXPECT_EQ(attributes.c_iflag & (INPCK | IXON | IXOFF), c.iflag);
        EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(attributes.c_oflag & OPOST, 0u);
        EXPECT_EQ(attributes.c_cc[VSTART], static_cast<cc_t>(c.settings.XonChar));

        const TSerialSettings back = SettingsFromTermios(attributes);
        EXPECT_EQ(back.BaudRate, c.settings.BaudRate);
        EXPECT_EQ(back.DataBits, c.settings.DataBits);
        EXPECT_EQ(back.Parity, c.settings.Parity);
        EXPECT_EQ(back.CheckParity, c.settings.CheckParity);
        EXPECT_EQ(back.StopBits, c.settings.StopBits);
        EXPECT_EQ(back.RtsCtsFlowControl, c.settings.RtsCtsFlowControl);
        EXPECT_EQ(back.XonXoffOutput, c.settings.XonXoffOutput);
        EXPECT_EQ(back.XonXoffInput, c.settings.XonXoffInput);
        EXPECT_EQ(back.XoffChar, c.settings.XoffChar);
    }

    TSerialSettings oneAndHalf;
    oneAndHalf.StopBits = S::OneAndHalf;
    termios attributes{};
    ASSERT_TRUE(SettingsToTermios(oneAndHalf, attributes));
    EXPECT_TRUE(attributes.c_cflag & CSTOPB);

    for (const auto& [rate, bits] : {std::pair{14400u, 8}, {0u, 8}, {9600u, 4}, {9600u, 9}}) {
        TSerialSettings bad;
        bad.BaudRate = rate;
        bad.DataBits = bits;
        termios untouched{};
        untouched.c_cflag = CS7;
        errno = 0;
        EXPECT_FALSE(SettingsToTermios(bad, untouched)) << rate << " " << bits;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(untouched.c_cflag, static_cast<tcflag_t>(CS7));
    }
}

// Settings reach a real terminal device and read back from it. A pty keeps everything but data
// bits and parity enable (it forces 8 bits, no parity) and has no modem lines, which the settings
// tolerate; a rate the device cannot take leaves it as it was.
TEST(SerialPort, SettingsAppliedToDevice)
{
    TPtyPort line;
    TSerialSettings settings;
    settings.BaudRate = 19200;
    settings.StopBits = TSerialStopBits::Two;
    settings.RtsCtsFlowControl = true;
    settings.XonXoffOutput = true;
    settings.XonXoffInput = true;
    settings.XonChar = 'Q';
    settings.Dtr = false;
    ASSERT_TRUE(line.Port.SetSettings(settings)) << line.Port.LastErrorDesc().toStdString();

    const termios attributes = AttributesOf(line.Port.Handle());
    EXPECT_EQ(cfgetospeed(&attributes), static_cast<speed_t>(B19200));
    EXPECT_TRUE(attributes.c_cflag & CSTOPB);
    EXPECT_TRUE(attributes.c_cflag & CRTSCTS);
    EXPECT_TRUE(attributes.c_cflag & CLOCAL);
    EXPECT_EQ(attributes.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(attributes.c_cc[VSTART], static_cast<cc_t>('Q'));
    EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO | ISIG), 0u);

    TSerialSettings back;
    ASSERT_TRUE(line.Port.GetSettings(back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.StopBits, TSerialStopBits::Two);
    EXPECT_TRUE(back.RtsCtsFlowControl);

    settings.BaudRate = 14400;
    EXPECT_FALSE(line.Port.SetSettings(settings));
    EXPECT_EQ(line.Port.LastError(), EINVAL);
    const termios kept = AttributesOf(line.Port.Handle());
    EXPECT_EQ(cfgetospeed(&kept), static_cast<speed_t>(B19200));
}

// Every time-out mode ends a read when it should: all bytes, the total, the gap after the last
// byte, at once, or at the first byte. A time-out is no error.
TEST(SerialPort, ReadTimeoutModes)
{
    const struct {
        const char* mode;
        TSerialTimeouts timeouts;
        QByteArray before;  // sent before the read starts
        QByteArray later;   // sent while the read waits
        int requested;
        QByteArray expected;
    } cases[] = {
        {"no limits, all there", {0, 0, 0, 0, 0}, "abcd", "", 4, "abcd"},
        {"total runs out", {0, 0, 200, 0, 0}, "ab", "", 5, "ab"},
        {"total per byte runs out", {0, 40, 0, 0, 0}, "ab", "", 5, "ab"},
        {"gap after the last byte", {50, 0, 60000, 0, 0}, "ab", "", 5, "ab"},
        {"at once, nothing there", {MaxWait, 0, 0, 0, 0}, "", "", 5, ""},
        {"at once, what is there", {MaxWait, 0, 0, 0, 0}, "abc", "", 10, "abc"},
        {"first byte, none comes", {MaxWait, MaxWait, 100, 0, 0}, "", "", 5, ""},
        {"first byte comes late", {MaxWait, MaxWait, 60000, 0, 0}, "", "xy", 5, "xy"},
        {"waits for the rest", {0, 0, 60000, 0, 0}, "ab", "cd", 4, "abcd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        TPtyPort line;
        line.Port.SetTimeouts(c.timeouts);
        if (!c.before.isEmpty()) {
            line.Pty.Send(c.before);
            line.WaitUntilReadable();
        }
        std::thread sender([&] {
            if (!c.later.isEmpty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                line.Pty.Send(c.later);
            }
        });
        QByteArray buffer(c.requested, '\0');
        QElapsedTimer timer;
        timer.start();
        const int count = line.Port.Read(buffer.data(), c.requested);
        const qint64 elapsed = timer.elapsed();
        sender.join();
        EXPECT_EQ(line.Port.LastError(), 0) << line.Port.LastErrorDesc().toStdString();
        ASSERT_GE(count, 0);
        EXPECT_EQ(buffer.left(count), c.expected);
        EXPECT_LT(elapsed, GenerousMs);
    }
}

// Written bytes reach the far end and Flush waits for them; a far end that reads nothing makes a
// large write stop at its total time-out with what went out, which is no error.
TEST(SerialPort, WritesAndWriteTimeout)
{
    TPtyPort line;
    EXPECT_EQ(line.Port.Write("hello", 5), 5);
    EXPECT_TRUE(line.Port.Flush());
    EXPECT_EQ(line.Pty.Received(), "hello");

    line.Port.SetTimeouts({0, 0, 0, 0, 200});
    const QByteArray flood(4 * 1024 * 1024, 'x');
    QElapsedTimer timer;
    timer.start();
    const int written = line.Port.Write(flood.constData(), static_cast<int>(flood.size()));
    EXPECT_LT(timer.elapsed(), GenerousMs);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, flood.size());
    EXPECT_EQ(line.Port.LastError(), 0);
}

// Purging drops what came in and was not read, but leaves what we are sending.
TEST(SerialPort, PurgeDropsInputOnly)
{
    TPtyPort line;
    line.Port.SetTimeouts({MaxWait, 0, 0, 0, 0});
    line.Pty.Send("stale");
    line.WaitUntilReadable();
    ASSERT_EQ(line.Port.Write("out", 3), 3);

    EXPECT_TRUE(line.Port.PurgeInput());
    char buffer[8];
    EXPECT_EQ(line.Port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(line.Pty.Received(), "out");
}

// DTR and RTS follow the calls where the device has modem lines; a pty has none and says so.
TEST(SerialPort, ModemLines)
{
    TPtyPort line;
    if (!line.Port.SetDTR()) {
        EXPECT_TRUE(line.Port.LastError() == ENOTTY || line.Port.LastError() == EINVAL);
        GTEST_SKIP() << "the device has no modem lines: " << line.Port.LastErrorDesc().toStdString();
    }
    int lines = 0;
    ASSERT_EQ(::ioctl(line.Port.Handle(), TIOCMGET, &lines), 0);
    EXPECT_TRUE(lines & TIOCM_DTR);
    EXPECT_TRUE(line.Port.ClrDTR());
    EXPECT_TRUE(line.Port.ClrRTS());
    ASSERT_EQ(::ioctl(line.Port.Handle(), TIOCMGET, &lines), 0);
    EXPECT_FALSE(lines & (TIOCM_DTR | TIOCM_RTS));
}

// When the far end goes away, a waiting read and a write fail with EIO instead of waiting out
// their time-outs or spinning.
TEST(SerialPort, FarEndClosing)
{
    TPtyPort line;
    line.Port.SetTimeouts({0, 0, 60000, 0, 60000});
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line.Pty.CloseMaster();
    });
    char buffer[4];
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(line.Port.Read(buffer, 4), -1);
    closer.join();
    EXPECT_LT(timer.elapsed(), GenerousMs);
    EXPECT_EQ(line.Port.LastError(), EIO);
    EXPECT_EQ(line.Port.LastErrorDesc(), SystemErrorMessage(EIO));
    EXPECT_EQ(line.Port.Write("x", 1), -1);
    EXPECT_EQ(line.Port.LastError(), EIO);
}

// A port that cannot be had says why: no such device, not a terminal, already ours elsewhere;
// calls on a port that is not open fail the same way.
TEST(SerialPort, OpenFailures)
{
    TSerialPort port;
    EXPECT_FALSE(port.Open(QStringLiteral("/dev/vocator-no-such-port")));
    EXPECT_EQ(port.LastError(), ENOENT);
    EXPECT_EQ(port.LastErrorDesc(), SystemErrorMessage(ENOENT));

    TestSupport::TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("plain"), "not a port");
    EXPECT_FALSE(port.Open(dir.File("plain")));
    EXPECT_EQ(port.LastError(), ENOTTY);

    TPtyPort line;
    EXPECT_FALSE(port.Open(line.Pty.Path()));
    EXPECT_EQ(port.LastError(), EBUSY);

    char buffer[1];
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Read(buffer, 1), -1);
    EXPECT_EQ(port.LastError(), EBADF);
    EXPECT_EQ(port.Write(buffer, 1), -1);
    EXPECT_FALSE(port.SetSettings(TSerialSettings()));
    EXPECT_EQ(line.Port.Read(nullptr, 1), -1);
    EXPECT_EQ(line.Port.LastError(), EINVAL);
}
