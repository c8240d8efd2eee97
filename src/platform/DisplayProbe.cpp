#include "platform/DisplayProbe.h"
#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int TcpProbeTimeOutMs = 2000;

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// A leading NUL byte names a socket in the abstract namespace, where the X server listens too.
int ConnectUnix(const QByteArray& path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path)
        return ENAMETOOLONG;
    std::memcpy(address.sun_path + offset, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + std::size_t(path.size()));
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

int ConnectTcp(const QByteArray& host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return EHOSTUNREACH;
    int result = ECONNREFUSED;
    for (addrinfo* a = found; a && result != 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        result = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t size = sizeof result;
            result = ::poll(&p, 1, TcpProbeTimeOutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) == 0 ? result : ETIMEDOUT;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return result;
}

bool WaylandReachable(const QString& display, QString* why)
{
    QString path = display;
    if (!path.startsWith(u'/'))
        path = qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + display;
    const int error = ConnectUnix(QFile::encodeName(path), false);
    if (error != 0 && why)
        *why = QStringLiteral("WAYLAND_DISPLAY=%1: %2").arg(display, SystemError(error));
    return error == 0;
}

bool X11Reachable(const QString& display, QString* why)
{
    static const QRegularExpression pattern(QStringLiteral("^(.*):(\\d+)(\\.\\d+)?$"));
    const QRegularExpressionMatch match = pattern.match(display);
    if (!match.hasMatch())
        return true; // a form we do not know: Qt may
    const QString host = match.captured(1);
    const int number = match.captured(2).toInt();
    int error = 0;
    if (host.isEmpty() || host == u"unix") {
        const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(number);
        error = ConnectUnix(socket, true);
        if (error != 0)
            error = ConnectUnix(socket, false);
    } else {
        error = ConnectTcp(host.toLocal8Bit(), 6000 + number);
    }
    if (error != 0 && why)
        *why = QStringLiteral("DISPLAY=%1: %2").arg(display, SystemError(error));
    return error == 0;
}

} // namespace

bool DisplayReachable(QString* why)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    QString reasons;
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (!wayland.isEmpty() && WaylandReachable(wayland, &reasons))
        return true;
    const QString x11 = qEnvironmentVariable("DISPLAY");
    QString x11Reason;
    if (!x11.isEmpty() && X11Reachable(x11, &x11Reason))
        return true;
    if (!x11Reason.isEmpty())
        reasons += (reasons.isEmpty() ? QString() : QStringLiteral("; ")) + x11Reason;
    if (why)
        *why = reasons.isEmpty() ? QStringLiteral("no display named") : reasons;
    return false;
}
