#include "platform/SerialPort.h"
#include "platform/Process.h"
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct TBaudRate {
    std::uint32_t BitsPerSecond;
    speed_t Speed;
};

constexpr TBaudRate BaudRates[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

const TBaudRate* FindRate(std::uint32_t bitsPerSecond)
{
    for (const TBaudRate& rate : BaudRates)
        if (rate.BitsPerSecond == bitsPerSecond)
            return &rate;
    return nullptr;
}

std::uint32_t RateOfSpeed(speed_t speed)
{
    for (const TBaudRate& rate : BaudRates)
        if (rate.Speed == speed)
            return rate.BitsPerSecond;
    return 0;
}

constexpr tcflag_t DataBitFlags[] = {CS5, CS6, CS7, CS8};
constexpr int FewestDataBits = 5;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

std::int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What is left of a limit of limitMs that started at start; -1 (no limit) stays -1.
std::int64_t LeftOf(std::int64_t limitMs, Clock::time_point start)
{
    return limitMs < 0 ? -1 : std::max<std::int64_t>(limitMs - MsSince(start), 0);
}

// The smaller of two waits where -1 means without limit.
std::int64_t ShorterWait(std::int64_t a, std::int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// 1 ready (or ended: the next read or write tells), 0 time-out, else -errno.
int WaitFor(int fd, short events, std::int64_t waitMs)
{
    const Clock::time_point start = Clock::now();
    pollfd entry{fd, events, 0};
    for (;;) {
        const std::int64_t left = LeftOf(waitMs, start);
        const int result = ::poll(&entry, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX)));
        if (result >= 0)
            return result > 0 ? 1 : 0;
        if (errno != EINTR)
            return -errno;
    }
}

// Multiplier per byte plus constant, -1 when both are 0 (no limit).
std::int64_t TotalTimeout(std::uint32_t multiplier, std::uint32_t constant, int count)
{
    if (multiplier == 0 && constant == 0)
        return -1;
    return static_cast<std::int64_t>(multiplier) * count + constant;
}

// Bytes pass unchanged both ways: no line editing, echo, signals or character translation.
void MakeRaw(termios& attributes)
{
    attributes.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    attributes.c_oflag &= ~OPOST;
    attributes.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // A missing carrier must not hang the line up: Windows ignores DCD as well.
    attributes.c_cflag |= CLOCAL | CREAD;
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 0;
}

tcflag_t ParityFlags(TSerialParity parity)
{
    switch (parity) {
    case TSerialParity::None: return 0;
    case TSerialParity::Odd: return PARENB | PARODD;
    case TSerialParity::Even: return PARENB;
    case TSerialParity::Mark: return PARENB | CMSPAR | PARODD;
    case TSerialParity::Space: return PARENB | CMSPAR;
    }
    return 0;
}

TSerialParity ParityOfFlags(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return TSerialParity::None;
    const bool odd = cflag & PARODD;
    if (cflag & CMSPAR)
        return odd ? TSerialParity::Mark : TSerialParity::Space;
    return odd ? TSerialParity::Odd : TSerialParity::Even;
}

bool IsComName(const QString& name, unsigned& number)
{
    if (name.size() < 4 || name.size() > 8 || !name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return false;
    bool ok = false;
    number = name.mid(3).toUInt(&ok);
    return ok && number >= 1 && name.at(3).isDigit();
}

} // namespace

QString SerialDevicePath(const QString& portName)
{
    static const QString devicePrefix = QStringLiteral("\\\\.\\");
    QString name = portName.trimmed();
    if (name.startsWith(devicePrefix))
        name = name.mid(devicePrefix.size());
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return name;
    unsigned number = 0;
    if (IsComName(name, number))
        return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    return QStringLiteral("/dev/") + name;
}

bool IsStandardBaudRate(std::uint32_t baudRate) { return FindRate(baudRate) != nullptr; }

bool SettingsToTermios(const TSerialSettings& settings, termios& attributes)
{
    const TBaudRate* rate = FindRate(settings.BaudRate);
    if (!rate || settings.DataBits < FewestDataBits || settings.DataBits > 8) {
        errno = EINVAL;
        return false;
    }
    termios result = attributes;
    MakeRaw(result);
    cfsetispeed(&result, rate->Speed);
    cfsetospeed(&result, rate->Speed);

    result.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    result.c_cflag |= DataBitFlags[settings.DataBits - FewestDataBits];
    result.c_cflag |= ParityFlags(settings.Parity);
    if (settings.StopBits != TSerialStopBits::One)
        result.c_cflag |= CSTOPB;
    if (settings.RtsCtsFlowControl)
        result.c_cflag |= CRTSCTS;

    result.c_iflag &= ~INPCK;
    if (settings.CheckParity && settings.Parity != TSerialParity::None)
        result.c_iflag |= INPCK;
    if (settings.XonXoffOutput)
        result.c_iflag |= IXON;
    if (settings.XonXoffInput)
        result.c_iflag |= IXOFF;
    result.c_cc[VSTART] = static_cast<cc_t>(settings.XonChar);
    result.c_cc[VSTOP] = static_cast<cc_t>(settings.XoffChar);
    attributes = result;
    return true;
}

TSerialSettings SettingsFromTermios(const termios& attributes)
{
    TSerialSettings settings;
    settings.BaudRate = RateOfSpeed(cfgetospeed(&attributes));
    const tcflag_t size = attributes.c_cflag & CSIZE;
    for (int index = 0; index < 4; ++index)
        if (DataBitFlags[index] == size)
            settings.DataBits = FewestDataBits + index;
    settings.Parity = ParityOfFlags(attributes.c_cflag);
    settings.CheckParity = attributes.c_iflag & INPCK;
    settings.StopBits = (attributes.c_cflag & CSTOPB) ? TSerialStopBits::Two : TSerialStopBits::One;
    settings.RtsCtsFlowControl = attributes.c_cflag & CRTSCTS;
    settings.XonXoffOutput = attributes.c_iflag & IXON;
    settings.XonXoffInput = attributes.c_iflag & IXOFF;
    settings.XonChar = static_cast<char>(attributes.c_cc[VSTART]);
    settings.XoffChar = static_cast<char>(attributes.c_cc[VSTOP]);
    return settings;
}

TSerialPort::~TSerialPort() { Close(); }

bool TSerialPort::Fail(int error)
{
    FLastError = error;
    return false;
}

bool TSerialPort::Succeed()
{
    FLastError = 0;
    return true;
}

bool TSerialPort::RequireOpen() { return IsOpen() ? Succeed() : Fail(EBADF); }

QString TSerialPort::LastErrorDesc() const
{
    const int error = LastError();
    return error == 0 ? QString() : SystemErrorMessage(error);
}

bool TSerialPort::Open(const QString& portName)
{
    Close();
    const QByteArray path = QFile::encodeName(SerialDevicePath(portName));
    if (path.isEmpty())
        return Fail(ENOENT);
    // Not waiting for a carrier to open; the descriptor stays non-blocking and poll() does the
    // waiting, bounded by the time-outs.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(errno);
    int error = 0;
    termios attributes{};
    if (!::isatty(fd))
        error = ENOTTY;
    // One owner per line, as on Windows, where a port opens without sharing.
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    else if (::tcgetattr(fd, &attributes) != 0)
        error = errno;
    else {
        MakeRaw(attributes);
        if (::tcsetattr(fd, TCSANOW, &attributes) != 0)
            error = errno;
    }
    if (error != 0) {
        ::close(fd);
        return Fail(error);
    }
    FFd = fd;
    return Succeed();
}

void TSerialPort::Close() noexcept
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

bool TSerialPort::SetSettings(const TSerialSettings& settings)
{
    if (!RequireOpen())
        return false;
    termios attributes{};
    if (::tcgetattr(FFd, &attributes) != 0)
        return Fail(errno);
    if (!SettingsToTermios(settings, attributes) || ::tcsetattr(FFd, TCSANOW, &attributes) != 0)
        return Fail(errno);
    // Devices without modem lines answer ENOTTY or EINVAL; their other settings still count.
    const auto applyLine = [this](int line, bool raised) {
        return ModemLines(raised ? TIOCMBIS : TIOCMBIC, line) || LastError() == ENOTTY || LastError() == EINVAL;
    };
    if (!applyLine(TIOCM_DTR, settings.Dtr))
        return false;
    if (!settings.RtsCtsFlowControl && !applyLine(TIOCM_RTS, settings.Rts))
        return false;
    return Succeed();
}

bool TSerialPort::GetSettings(TSerialSettings& settings)
{
    if (!RequireOpen())
        return false;
    termios attributes{};
    if (::tcgetattr(FFd, &attributes) != 0)
        return Fail(errno);
    settings = SettingsFromTermios(attributes);
    int lines = 0;
    if (::ioctl(FFd, TIOCMGET, &lines) == 0) {
        settings.Dtr = lines & TIOCM_DTR;
        settings.Rts = lines & TIOCM_RTS;
    }
    return Succeed();
}

void TSerialPort::SetTimeouts(const TSerialTimeouts& timeouts) noexcept
{
    const std::lock_guard lock(FTimeoutsLock);
    FTimeouts = timeouts;
}

TSerialTimeouts TSerialPort::Timeouts() const noexcept
{
    const std::lock_guard lock(FTimeoutsLock);
    return FTimeouts;
}

int TSerialPort::ReadAvailable(char* buffer, int count)
{
    const ssize_t taken = ::read(FFd, buffer, static_cast<std::size_t>(count));
    if (taken > 0)
        return static_cast<int>(taken);
    // A terminal read without data says EAGAIN here; the end of the file is a hang-up.
    const int error = taken == 0 ? EIO : errno;
    if (WouldBlock(error))
        return 0;
    Fail(error);
    return -1;
}

int TSerialPort::ReadWithin(char* buffer, int count, std::int64_t totalMs, std::int64_t intervalMs)
{
    const Clock::time_point start = Clock::now();
    Clock::time_point lastByte = start;
    int received = 0;
    while (received < count) {
        std::int64_t wait = LeftOf(totalMs, start);
        if (received > 0)
            wait = ShorterWait(wait, LeftOf(intervalMs, lastByte));
        const int ready = WaitFor(FFd, POLLIN, wait);
        if (ready < 0)
            Fail(-ready);
        if (ready <= 0)
            break;
        const int taken = ReadAvailable(buffer + received, count - received);
        if (taken < 0)
            break;
        if (taken > 0) {
            received += taken;
            lastByte = Clock::now();
        }
    }
    return received == 0 && LastError() != 0 ? -1 : received;
}

int TSerialPort::Read(void* buffer, int count)
{
    if (!RequireOpen())
        return -1;
    if (count < 0 || (!buffer && count > 0)) {
        Fail(EINVAL);
        return -1;
    }
    if (count == 0)
        return 0;
    const TSerialTimeouts timeouts = Timeouts();
    char* out = static_cast<char*>(buffer);
    if (timeouts.ReadIntervalTimeout != TSerialTimeouts::MaxWait) {
        const std::int64_t interval = timeouts.ReadIntervalTimeout == 0 ? -1 : timeouts.ReadIntervalTimeout;
        return ReadWithin(out, count, TotalTimeout(timeouts.ReadTotalTimeoutMultiplier, timeouts.ReadTotalTimeoutConstant, count), interval);
    }
    // An interval of MaxWait: nothing is waited for once something has come.
    if (timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0)
        return ReadWithin(out, count, 0, 0);
    const std::int64_t firstByte = timeouts.ReadTotalTimeoutMultiplier == TSerialTimeouts::MaxWait
        ? timeouts.ReadTotalTimeoutConstant
        : TotalTimeout(timeouts.ReadTotalTimeoutMultiplier, timeouts.ReadTotalTimeoutConstant, count);
    return ReadWithin(out, count, firstByte, 0);
}

int TSerialPort::Write(const void* buffer, int count)
{
    if (!RequireOpen())
        return -1;
    if (count < 0 || (!buffer && count > 0)) {
        Fail(EINVAL);
        return -1;
    }
    const TSerialTimeouts timeouts = Timeouts();
    const std::int64_t totalMs = TotalTimeout(timeouts.WriteTotalTimeoutMultiplier, timeouts.WriteTotalTimeoutConstant, count);
    const Clock::time_point start = Clock::now();
    const char* data = static_cast<const char*>(buffer);
    int written = 0;
    while (written < count) {
        const ssize_t result = ::write(FFd, data + written, static_cast<std::size_t>(count - written));
        if (result >= 0) {
            written += static_cast<int>(result);
            continue;
        }
        if (!WouldBlock(errno)) {
            Fail(errno);
            break;
        }
        const int ready = WaitFor(FFd, POLLOUT, LeftOf(totalMs, start));
        if (ready < 0)
            Fail(-ready);
        if (ready <= 0)
            break;
    }
    return written == 0 && LastError() != 0 ? -1 : written;
}

bool TSerialPort::ModemLines(unsigned long request, int lines)
{
    if (!RequireOpen())
        return false;
    return ::ioctl(FFd, request, &lines) == 0 ? Succeed() : Fail(errno);
}

bool TSerialPort::SetDTR() { return ModemLines(TIOCMBIS, TIOCM_DTR); }

bool TSerialPort::ClrDTR() { return ModemLines(TIOCMBIC, TIOCM_DTR); }

bool TSerialPort::SetRTS() { return ModemLines(TIOCMBIS, TIOCM_RTS); }

bool TSerialPort::ClrRTS() { return ModemLines(TIOCMBIC, TIOCM_RTS); }

bool TSerialPort::PurgeInput()
{
    if (!RequireOpen())
        return false;
    return ::tcflush(FFd, TCIFLUSH) == 0 ? Succeed() : Fail(errno);
}

bool TSerialPort::Flush()
{
    if (!RequireOpen())
        return false;
    while (::tcdrain(FFd) != 0)
        if (errno != EINTR)
            return Fail(errno);
    return Succeed();
}
