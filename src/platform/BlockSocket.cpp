#include "platform/BlockSocket.h"
#include "platform/Process.h"
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The largest datagram IPv4 can carry, so one receive always takes a datagram whole.
constexpr std::size_t MaxDatagram = 65536;
// Purge takes what is already there; a peer that keeps sending cannot hold it longer than this.
constexpr int MaxPurgeReads = 1024;

// The end of a wait that callers give in ms; a negative time-out never ends.
class TDeadline {
public:
    explicit TDeadline(int timeoutMs)
        : FUnlimited(timeoutMs < 0), FEnd(Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0)))
    {
    }
    // Rounded up, so that a wait never spins on a remainder below one ms; -1 without limit.
    int RemainingMs() const
    {
        if (FUnlimited)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(FEnd - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

private:
    bool FUnlimited;
    Clock::time_point FEnd;
};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool BadBuffer(const void* buffer, int length) { return length < 0 || (!buffer && length > 0); }

QString AddressText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return QString::fromLatin1(text);
}

bool IsIPv4(const sockaddr_in& address) { return address.sin_family == AF_INET; }

sockaddr_in LocalAddress(int socket)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return address;
}

int SetBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return ::fcntl(fd, F_SETFL, wanted) < 0 ? errno : 0;
}

} // namespace

TBlockSocket::TBlockSocket(int socketType) : FSocketType(socketType) {}

TBlockSocket::~TBlockSocket()
{
    if (FSocket != InvalidSocket)
        ::close(FSocket);
}

void TBlockSocket::SetError(int error)
{
    FLastError = error;
    FLastErrorDesc.clear();
}

void TBlockSocket::SetError(int error, const QString& description)
{
    FLastError = error;
    FLastErrorDesc = description;
}

void TBlockSocket::ResetError() { SetError(0); }

void TBlockSocket::SetSystemError() { SetError(errno); }

QString TBlockSocket::LastErrorDesc() const
{
    if (FLastError == 0 || !FLastErrorDesc.isEmpty())
        return FLastErrorDesc;
    return SystemErrorMessage(FLastError);
}

bool TBlockSocket::RequireSocket()
{
    if (FSocket != InvalidSocket)
        return true;
    SetError(ENOTCONN);
    return false;
}

bool TBlockSocket::CreateSocket()
{
    FSocket = ::socket(AF_INET, FSocketType | SOCK_CLOEXEC, 0);
    ForgetRecvTimeout();
    if (FSocket == InvalidSocket) {
        SetSystemError();
        return false;
    }
    ApplyLinger();
    return true;
}

void TBlockSocket::SetSocket(int handle)
{
    if (handle == FSocket && handle != InvalidSocket) {
        ResetError();
        return;
    }
    AbortSocket();
    if (handle < 0) {
        SetError(EBADF);
        return;
    }
    int type = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &size) != 0) {
        SetSystemError();
        return;
    }
    if (type != FSocketType) {
        SetError(EPROTOTYPE);
        return;
    }
    // The handle is ours now: a program we start must not inherit the connection, and reads
    // wait in the receive call itself, which needs a blocking socket.
    ::fcntl(handle, F_SETFD, FD_CLOEXEC);
    SetBlocking(handle, true);
    FSocket = handle;
    ForgetRecvTimeout();
    ApplyLinger();
    AfterOpen();
}

bool TBlockSocket::Resolve(const QString& host, const QString& port, sockaddr_in& address)
{
    const QByteArray hostText = host.trimmed().isEmpty() ? QByteArray("0.0.0.0") : host.trimmed().toUtf8();
    const QByteArray portText = port.trimmed().isEmpty() ? QByteArray("0") : port.trimmed().toUtf8();
    // The resolver takes any number and wraps it into 16 bits, which would reach another port.
    const bool numeric = std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (numeric && (portText.size() > 5 || portText.toUInt() > 65535)) {
        SetError(AddressError, QStringLiteral("Port out of range (%1)").arg(QString::fromUtf8(portText)));
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = FSocketType;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(hostText.constData(), portText.constData(), &hints, &found);
    if (result == EAI_SYSTEM) {
        SetSystemError();
        return false;
    }
    if (result != 0 || !found) {
        SetError(AddressError, QString::fromLocal8Bit(::gai_strerror(result)));
        return false;
    }
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    return true;
}

void TBlockSocket::Bind(const QString& host, const QString& port)
{
    ResetError();
    sockaddr_in address{};
    if (!Resolve(host, port, address))
        return;
    if (FSocket == InvalidSocket && !CreateSocket())
        return;
    if (FSocketType == SOCK_STREAM) {
        // A server restarted on its port must not wait for the old connections' TIME_WAIT.
        const int on = 1;
        ::setsockopt(FSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(FSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        SetSystemError();
}

int TBlockSocket::WaitFor(short events, int timeoutMs)
{
    const TDeadline deadline(timeoutMs);
    pollfd entry{FSocket, events, 0};
    for (;;) {
        const int result = ::poll(&entry, 1, deadline.RemainingMs());
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR) {
            SetSystemError();
            return -1;
        }
    }
}

int TBlockSocket::SendBuffer(const void* buffer, int length)
{
    ResetError();
    if (BadBuffer(buffer, length)) {
        SetError(EINVAL);
        return 0;
    }
    if (!RequireSocket())
        return 0;
    const char* data = static_cast<const char*>(buffer);
    const int sendTimeoutMs = FSendTimeoutMs;
    const TDeadline deadline(sendTimeoutMs > 0 ? sendTimeoutMs : -1);
    int sent = 0;
    // An empty datagram is still one datagram, hence one try even for no bytes.
    do {
        const long written = SendOnce(data + sent, static_cast<std::size_t>(length - sent));
        if (written >= 0) {
            sent += static_cast<int>(written);
            continue;
        }
        if (!WouldBlock(errno)) {
            SetSystemError();
            break;
        }
        const int ready = WaitFor(POLLOUT, deadline.RemainingMs());
        if (ready == 0)
            SetError(TimedOutError);
        if (ready <= 0)
            break;
    } while (sent < length);
    return sent;
}

int TBlockSocket::SendString(const QByteArray& data)
{
    return SendBuffer(data.constData(), static_cast<int>(data.size()));
}

int TBlockSocket::TakeKept(char* buffer, int length)
{
    const std::size_t taken = std::min(KeptSize(), static_cast<std::size_t>(length));
    if (taken == 0)
        return 0;
    std::memcpy(buffer, FKept.data() + FKeptStart, taken);
    FKeptStart += taken;
    if (!HasKept())
        DropKept();
    return static_cast<int>(taken);
}

void TBlockSocket::Keep(const char* data, std::size_t length)
{
    FKept.assign(data, data + length);
    FKeptStart = 0;
}

void TBlockSocket::DropKept() noexcept
{
    FKept.clear();
    FKeptStart = 0;
}

int TBlockSocket::RecvBufferEx(void* buffer, int length, int timeoutMs)
{
    ResetError();
    if (BadBuffer(buffer, length)) {
        SetError(EINVAL);
        return 0;
    }
    char* out = static_cast<char*>(buffer);
    int received = TakeKept(out, length);
    if (received == length || !RequireSocket())
        return received;
    const TDeadline deadline(timeoutMs);
    // The first receive waits the whole time, which keeps the socket's time-out unchanged from
    // one call to the next; only a read in pieces sets what is left.
    int waitMs = timeoutMs;
    while (received < length) {
        const int taken = ReceiveWithin(out + received, length - received, waitMs);
        if (taken < 0)
            break;
        received += taken;
        waitMs = deadline.RemainingMs();
    }
    return received;
}

int TBlockSocket::ReceiveWithin(char* buffer, int length, int timeoutMs)
{
    int flags = 0;
    if (timeoutMs == 0)
        flags = MSG_DONTWAIT;
    else if (!ApplyRecvTimeout(timeoutMs))
        return -1;
    const int taken = Receive(buffer, length, flags);
    if (taken == ReceiveInterrupted)
        return 0;
    if (taken == NothingReceived) {
        SetError(TimedOutError);
        return -1;
    }
    return taken;
}

bool TBlockSocket::ApplyRecvTimeout(int timeoutMs)
{
    const int wanted = std::max(timeoutMs, -1);
    if (wanted == FAppliedRecvTimeoutMs)
        return true;
    // Zero is no limit for the system.
    const timeval value{wanted < 0 ? 0 : wanted / 1000, wanted < 0 ? 0 : (wanted % 1000) * 1000};
    if (::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) {
        SetSystemError();
        ForgetRecvTimeout();
        return false;
    }
    FAppliedRecvTimeoutMs = wanted;
    return true;
}

int TBlockSocket::ReceiveAvailable(char* buffer, int length)
{
    const int taken = Receive(buffer, length, MSG_DONTWAIT);
    return taken == NothingReceived || taken == ReceiveInterrupted ? 0 : taken;
}

QByteArray TBlockSocket::RecvPacket(int timeoutMs)
{
    ResetError();
    if (HasKept()) {
        QByteArray rest(FKept.data() + FKeptStart, static_cast<qsizetype>(KeptSize()));
        DropKept();
        return rest;
    }
    if (!RequireSocket())
        return {};
    const int ready = WaitFor(POLLIN, timeoutMs);
    if (ready == 0)
        SetError(TimedOutError);
    if (ready <= 0)
        return {};
    // What is waiting is the size of the next datagram, or what the stream has so far.
    const int wanted = std::clamp(WaitingData(), 1, static_cast<int>(MaxDatagram));
    QByteArray packet(wanted, Qt::Uninitialized);
    const int taken = ReceiveAvailable(packet.data(), wanted);
    packet.resize(std::max(taken, 0));
    return packet;
}

int TBlockSocket::RecvBuffer(void* buffer, int length)
{
    ResetError();
    if (BadBuffer(buffer, length)) {
        SetError(EINVAL);
        return 0;
    }
    char* out = static_cast<char*>(buffer);
    const int kept = TakeKept(out, length);
    if (kept > 0 || length == 0 || !RequireSocket())
        return kept;
    const int recvTimeoutMs = FRecvTimeoutMs;
    const int ready = WaitFor(POLLIN, recvTimeoutMs > 0 ? recvTimeoutMs : -1);
    if (ready == 0)
        SetError(TimedOutError);
    if (ready <= 0)
        return 0;
    return std::max(ReceiveAvailable(out, length), 0);
}

int TBlockSocket::RecvDatagram(void* buffer, int capacity, int timeoutMs)
{
    ResetError();
    DropKept();
    if (BadBuffer(buffer, capacity)) {
        SetError(EINVAL);
        return 0;
    }
    if (!RequireSocket())
        return 0;
    const TDeadline deadline(timeoutMs);
    int waitMs = timeoutMs;
    for (;;) {
        const int taken = ReceiveWithin(static_cast<char*>(buffer), capacity, waitMs);
        if (taken < 0)
            return 0;
        // Zero is a signal or a datagram dropped unread; an empty datagram is none we take.
        if (taken > 0 || HasKept()) {
            if (HasKept()) {
                DropKept();
                SetError(EMSGSIZE);
            }
            return taken;
        }
        waitMs = deadline.RemainingMs();
        if (waitMs == 0) {
            SetError(TimedOutError);
            return 0;
        }
    }
}

std::uint8_t TBlockSocket::RecvByte(int timeoutMs)
{
    std::uint8_t byte = 0;
    RecvBufferEx(&byte, 1, timeoutMs);
    return byte;
}

bool TBlockSocket::CanRead(int timeoutMs)
{
    ResetError();
    if (HasKept())
        return true;
    if (!RequireSocket())
        return false;
    return WaitFor(POLLIN, timeoutMs) > 0;
}

int TBlockSocket::WaitingData()
{
    int pending = 0;
    if (FSocket == InvalidSocket || ::ioctl(FSocket, FIONREAD, &pending) != 0)
        pending = 0;
    return static_cast<int>(KeptSize()) + pending;
}

void TBlockSocket::Purge()
{
    DropKept();
    const bool datagrams = FSocketType == SOCK_DGRAM;
    char sink[4096];
    for (int reads = 0; FSocket != InvalidSocket && reads < MaxPurgeReads; ++reads) {
        // A datagram longer than the sink is dropped whole all the same.
        const ssize_t taken = ::recv(FSocket, sink, sizeof sink, MSG_DONTWAIT);
        if (taken < 0 && errno == EINTR)
            continue;
        // No more data, an error, or (TCP) the end of the stream; an empty datagram is data.
        if (taken < 0 || (taken == 0 && !datagrams))
            break;
    }
    ResetError();
}

void TBlockSocket::SetLinger(bool enable, int lingerMs)
{
    ResetError();
    FLingerSet = true;
    FLingerEnabled = enable;
    FLingerMs = std::max(lingerMs, 0);
    if (!ApplyLinger())
        SetSystemError();
}

bool TBlockSocket::ApplyLinger()
{
    if (!FLingerSet || FSocket == InvalidSocket)
        return true;
    const linger value{FLingerEnabled ? 1 : 0, FLingerMs / 1000};
    return ::setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0;
}

void TBlockSocket::AbortSocket()
{
    if (FSocket != InvalidSocket)
        ::close(FSocket);
    FSocket = InvalidSocket;
    ForgetRecvTimeout();
    FRemote = {};
    DropKept();
    ResetError();
}

void TBlockSocket::CloseSocket() { AbortSocket(); }

QString TBlockSocket::GetRemoteSinIP() const { return AddressText(FRemote.sin_addr); }

int TBlockSocket::GetRemoteSinPort() const { return IsIPv4(FRemote) ? ntohs(FRemote.sin_port) : 0; }

QString TBlockSocket::GetLocalSinIP() const { return AddressText(LocalAddress(FSocket).sin_addr); }

int TBlockSocket::GetLocalSinPort() const
{
    const sockaddr_in local = LocalAddress(FSocket);
    return IsIPv4(local) ? ntohs(local.sin_port) : 0;
}

// ---- TCP

TTCPBlockSocket::TTCPBlockSocket() : TBlockSocket(SOCK_STREAM) {}

void TTCPBlockSocket::AfterOpen()
{
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(FSocket, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || !IsIPv4(peer))
        peer = {};
    FRemote = peer;
}

void TTCPBlockSocket::Connect(const QString& host, const QString& port)
{
    ResetError();
    DropKept();
    sockaddr_in address{};
    if (!Resolve(host, port, address))
        return;
    if (FSocket == InvalidSocket && !CreateSocket())
        return;
    // Connecting without blocking lets poll() bound the wait.
    int error = SetBlocking(FSocket, false);
    if (error == 0 && ::connect(FSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            const int connectTimeoutMs = ConnectTimeout();
            const int ready = WaitFor(POLLOUT, connectTimeoutMs > 0 ? connectTimeoutMs : -1);
            socklen_t size = sizeof error;
            if (ready == 0)
                error = TimedOutError;
            else if (ready < 0)
                error = LastError();
            else if (::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    if (error == 0)
        error = SetBlocking(FSocket, true);
    if (error != 0) {
        // What a failed connect leaves of a socket is unusable; the next try starts afresh. A
        // socket that was connected already stays as it is.
        if (error != EISCONN)
            AbortSocket();
        SetError(error);
        return;
    }
    AfterOpen();
}

void TTCPBlockSocket::Listen()
{
    ResetError();
    if (!RequireSocket())
        return;
    // Accept finds out by itself that a client it was told of has gone, instead of blocking.
    if (const int error = SetBlocking(FSocket, false)) {
        SetError(error);
        return;
    }
    if (::listen(FSocket, SOMAXCONN) != 0)
        SetSystemError();
}

int TTCPBlockSocket::Accept(int timeoutMs)
{
    ResetError();
    if (!RequireSocket())
        return InvalidSocket;
    const TDeadline deadline(timeoutMs);
    for (;;) {
        const int ready = WaitFor(POLLIN, deadline.RemainingMs());
        if (ready == 0)
            SetError(TimedOutError);
        if (ready <= 0)
            return InvalidSocket;
        const int client = ::accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            return client;
        if (!WouldBlock(errno) && errno != ECONNABORTED) {
            SetSystemError();
            return InvalidSocket;
        }
    }
}

void TTCPBlockSocket::CloseSocket()
{
    if (FSocket != InvalidSocket)
        ::shutdown(FSocket, SHUT_WR);
    AbortSocket();
}

long TTCPBlockSocket::SendOnce(const char* data, std::size_t length)
{
    return ::send(FSocket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

int TTCPBlockSocket::Receive(char* buffer, int length, int flags)
{
    const ssize_t taken = ::recv(FSocket, buffer, static_cast<std::size_t>(length), flags);
    if (taken > 0)
        return static_cast<int>(taken);
    if (taken == 0) {
        // The peer ended the connection: for a reader waiting for bytes that is a reset.
        SetError(ECONNRESET);
        return -1;
    }
    if (errno == EINTR)
        return ReceiveInterrupted;
    if (WouldBlock(errno))
        return NothingReceived;
    SetSystemError();
    return -1;
}

// ---- UDP

TUDPBlockSocket::TUDPBlockSocket() : TBlockSocket(SOCK_DGRAM) {}

void TUDPBlockSocket::Connect(const QString& host, const QString& port)
{
    ResetError();
    DropKept();
    sockaddr_in address{};
    if (!Resolve(host, port, address))
        return;
    if (FSocket == InvalidSocket && !CreateSocket())
        return;
    FRemote = address;
}

long TUDPBlockSocket::SendOnce(const char* data, std::size_t length)
{
    if (!IsIPv4(FRemote)) {
        errno = EDESTADDRREQ;
        return -1;
    }
    return ::sendto(FSocket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&FRemote), sizeof FRemote);
}

int TUDPBlockSocket::Receive(char* buffer, int length, int flags)
{
    // The datagram lands in the caller's buffer, only what does not fit goes elsewhere.
    FOverflow.resize(MaxDatagram);
    iovec parts[2] = {{buffer, static_cast<std::size_t>(length)}, {FOverflow.data(), FOverflow.size()}};
    sockaddr_in sender{};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const ssize_t taken = ::recvmsg(FSocket, &message, flags);
    if (taken < 0) {
        if (errno == EINTR)
            return ReceiveInterrupted;
        if (WouldBlock(errno))
            return NothingReceived;
        SetSystemError();
        return -1;
    }
    const bool known = message.msg_namelen >= sizeof sender && IsIPv4(sender);
    if (FPeerLocked && !(known && FromPeer(sender))) {
        ++FForeignDatagrams;
        FLastForeign = known ? sender : sockaddr_in{};
        return ReceiveInterrupted;
    }
    // Answers go back to whoever sent last, which is what lets a server talk to its client.
    if (known)
        FRemote = sender;
    const std::size_t copied = std::min(static_cast<std::size_t>(taken), static_cast<std::size_t>(length));
    Keep(FOverflow.data(), static_cast<std::size_t>(taken) - copied);
    return static_cast<int>(copied);
}

bool TUDPBlockSocket::FromPeer(const sockaddr_in& sender) const noexcept
{
    return sender.sin_addr.s_addr == FRemote.sin_addr.s_addr && sender.sin_port == FRemote.sin_port;
}

QString TUDPBlockSocket::LastForeignSender() const
{
    return AddressText(FLastForeign.sin_addr) + u':' + QString::number(ntohs(FLastForeign.sin_port));
}
