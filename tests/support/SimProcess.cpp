#include "SimProcess.h"
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

TSimProcess::TSimProcess(const QStringList& arguments) : TSimProcess(NextAddress(), arguments) {}

TSimProcess::TSimProcess(const QString& address, const QStringList& arguments) : FAddress(address)
{
    FProcess.setProgram(QStringLiteral(PLCSIM_PATH));
    FProcess.setArguments(QStringList{QStringLiteral("--address"), FAddress} + arguments);
    FProcess.start();
    if (!FProcess.waitForStarted(10000))
        throw std::runtime_error("vocator-plcsim did not start");
    ReadyLine = NextLine();
    if (!ReadyLine.startsWith(QStringLiteral("vocator-plcsim ready:")))
        throw std::runtime_error("vocator-plcsim is not ready: " + ReadyLine.toStdString() + " " +
                                 FProcess.readAllStandardError().toStdString());
}

TSimProcess::~TSimProcess()
{
    if (FProcess.state() != QProcess::NotRunning) {
        FProcess.kill();
        FProcess.waitForFinished(10000);
    }
}

quint16 TSimProcess::Port(const QString& service) const
{
    const QRegularExpression pattern(service + QStringLiteral("=[0-9.]+:([0-9]+)"));
    return quint16(pattern.match(ReadyLine).captured(1).toUInt());
}

QString TSimProcess::Command(const QString& line)
{
    FProcess.write(line.toUtf8() + '\n');
    FProcess.waitForBytesWritten(5000);
    for (;;) {
        const QString reply = NextLine();
        if (!reply.startsWith(QStringLiteral("script line ")))
            return reply;
    }
}

QString TSimProcess::NextLine(int timeOut)
{
    QDeadlineTimer deadline(timeOut);
    while (!FProcess.canReadLine()) {
        if (deadline.hasExpired() || FProcess.state() == QProcess::NotRunning)
            return {};
        FProcess.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromUtf8(FProcess.readLine()).trimmed();
}

int TSimProcess::Terminate()
{
    ::kill(pid_t(FProcess.processId()), SIGTERM);
    if (!FProcess.waitForFinished(10000))
        return -1;
    const QStringList lines = QString::fromUtf8(FProcess.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
    LastLine = lines.last().trimmed();
    return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

void TSimProcess::Kill()
{
    FProcess.kill();
    FProcess.waitForFinished(10000);
}

QString TSimProcess::NextAddress()
{
    // Addresses of their own keep these simulators apart from other suites' servers.
    static std::atomic<int> next{0};
    return QStringLiteral("127.0.0.%1").arg(100 + next++ % 100);
}

std::int64_t Counter(const QString& countersLine, const QString& name)
{
    const QRegularExpression pattern(QStringLiteral("\\b%1=([0-9]+)").arg(QRegularExpression::escape(name)));
    const QRegularExpressionMatch match = pattern.match(countersLine);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

TSimRun RunSimToEnd(const QStringList& arguments, const QByteArray& input)
{
    QProcess process;
    process.start(QStringLiteral(PLCSIM_PATH), QStringList{QStringLiteral("--address"), TSimProcess::NextAddress()} + arguments);
    process.write(input);
    process.closeWriteChannel();
    TSimRun run;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Output = QString::fromUtf8(process.readAllStandardOutput());
    run.Errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QByteArray Bytes(const char* hex) { return QByteArray::fromHex(QByteArray(hex).replace(' ', "")); }

QString Hex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

// ---- TRawSocket ----

namespace {

sockaddr_in SocketAddress(const QString& address, quint16 port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &peer.sin_addr);
    return peer;
}

int ConnectedSocket(int type, const QString& address, quint16 port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in peer = SocketAddress(address, port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot connect to " + address.toStdString() + ":" + std::to_string(port));
    }
    return fd;
}

} // namespace

TRawSocket TRawSocket::Udp(const QString& address, quint16 port) { return TRawSocket(ConnectedSocket(SOCK_DGRAM, address, port)); }
TRawSocket TRawSocket::Tcp(const QString& address, quint16 port) { return TRawSocket(ConnectedSocket(SOCK_STREAM, address, port)); }

TRawSocket::TRawSocket(TRawSocket&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }

TRawSocket::~TRawSocket()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TRawSocket::Send(const QByteArray& bytes)
{
    if (::send(FFd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) != bytes.size())
        throw std::runtime_error("send failed");
}

bool TRawSocket::WaitReadable(int timeOut)
{
    pollfd wait{FFd, POLLIN, 0};
    return ::poll(&wait, 1, timeOut) == 1;
}

QByteArray TRawSocket::ReceiveDatagram(int timeOut)
{
    if (!WaitReadable(timeOut))
        return {};
    QByteArray datagram(65536, '\0');
    const ssize_t count = ::recv(FFd, datagram.data(), size_t(datagram.size()), 0);
    datagram.resize(count > 0 ? count : 0);
    return datagram;
}

QByteArray TRawSocket::Receive(int count, int timeOut)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeOut);
    while (bytes.size() < count && WaitReadable(int(std::max<qint64>(0, deadline.remainingTime())))) {
        char buffer[4096];
        const ssize_t got = ::recv(FFd, buffer, std::min<size_t>(sizeof buffer, size_t(count - bytes.size())), 0);
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    return bytes;
}

bool TRawSocket::PeerClosed(int timeOut)
{
    char byte = 0;
    return WaitReadable(timeOut) && ::recv(FFd, &byte, 1, 0) <= 0; // end of stream or reset
}
