#include "TcpConnection.h"
#include "Stream.h"
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A master that sends requests and never reads its answers is dropped when this much waits for it.
constexpr qsizetype MaxUnsent = 1024 * 1024;

} // namespace

TSimTcpConnection::TSimTcpConnection(int descriptor, TSimAnswerer& answerer, std::function<void(TSimTcpConnection*)> closed,
                                     QObject* owner)
    : QObject(owner), FFd(descriptor), FClosed(std::move(closed))
{
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    ::fcntl(FFd, F_SETFD, FD_CLOEXEC);
    // Each send leaves at once, also the single bytes of a trickled answer.
    const int noDelay = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    FStream = new TSimStream(answerer, "tcp", {[this](QByteArrayView bytes) { Write(bytes); }, [this] { Reset(); }}, this);
    FReader = new QSocketNotifier(FFd, QSocketNotifier::Read, this);
    connect(FReader, &QSocketNotifier::activated, this, &TSimTcpConnection::Read);
    FWriter = new QSocketNotifier(FFd, QSocketNotifier::Write, this);
    FWriter->setEnabled(false);
    connect(FWriter, &QSocketNotifier::activated, this, &TSimTcpConnection::SendUnsent);
}

TSimTcpConnection::~TSimTcpConnection()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TSimTcpConnection::Close()
{
    if (FFd < 0)
        return;
    // The notifiers go before their descriptor; held answers of the stream find it closed.
    FReader->setEnabled(false);
    FWriter->setEnabled(false);
    ::close(FFd);
    FFd = -1;
    FClosed(this);
}

void TSimTcpConnection::Reset()
{
    if (FFd < 0)
        return;
    const linger hard{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

void TSimTcpConnection::Read()
{
    char buffer[4096];
    ssize_t count;
    do {
        count = ::read(FFd, buffer, sizeof buffer);
        if (count > 0)
            FStream->Receive(QByteArrayView(buffer, count));
        // A full buffer may have left more behind; anything less took all there was.
    } while (count == ssize_t(sizeof buffer) && FFd >= 0);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR))
        Close(); // the master ended the connection, or it failed
}

void TSimTcpConnection::Write(QByteArrayView bytes)
{
    if (FFd < 0)
        return;
    if (FUnsent.isEmpty()) {
        const qsizetype rest = SendNow(bytes);
        if (rest < 0)
            return Close();
        bytes = bytes.last(rest);
    }
    if (bytes.isEmpty())
        return;
    if (FUnsent.size() + bytes.size() > MaxUnsent)
        return Close();
    FUnsent.append(bytes);
    FWriter->setEnabled(true);
}

void TSimTcpConnection::SendUnsent()
{
    const qsizetype rest = SendNow(FUnsent);
    if (rest < 0)
        return Close();
    FUnsent.remove(0, FUnsent.size() - rest);
    FWriter->setEnabled(!FUnsent.isEmpty());
}

qsizetype TSimTcpConnection::SendNow(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t sent = ::send(FFd, bytes.data(), std::size_t(bytes.size()), MSG_NOSIGNAL);
        if (sent >= 0)
            bytes = bytes.sliced(sent);
        else if (errno == EAGAIN)
            break;
        else if (errno != EINTR)
            return -1;
    }
    return bytes.size();
}
