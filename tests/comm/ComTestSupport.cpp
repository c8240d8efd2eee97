#include "ComTestSupport.h"
#include "errorsystem/JCLAutoException.h"
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ComTest {

TThreadCounters Counters;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in LoopbackAddress(const char* address, int port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

// A socket bound to address and an ephemeral port; the port goes to port.
int BoundSocket(const char* address, int socketType, int& port)
{
    const int fd = ::socket(AF_INET, socketType | SOCK_CLOEXEC, 0);
    sockaddr_in socketAddress = LoopbackAddress(address, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0) {
        ADD_FAILURE() << "cannot bind " << address << ": " << std::strerror(errno);
        return fd;
    }
    socklen_t size = sizeof socketAddress;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &size);
    port = ntohs(socketAddress.sin_port);
    return fd;
}

bool Readable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

void SendAll(int fd, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = ::send(fd, bytes.constData() + sent, static_cast<std::size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (written <= 0)
            return;
        sent += written;
    }
}

QByteArray Answer(const QByteArray& request, TPeerMode mode)
{
    switch (mode) {
    case TPeerMode::Silent:
        return {};
    case TPeerMode::HalfAnswer:
        return request.left(request.size() / 2);
    case TPeerMode::Oversize:
        return request + QByteArray(100, 'X');
    case TPeerMode::Echo:
    case TPeerMode::ResetAfterAnswer:
        break;
    }
    return request;
}

} // namespace

// ---- Logging ----

void TRecordingMemo::AddLine(const QString& text)
{
    std::lock_guard lock(FLock);
    FLines.append(text);
}

QStringList TRecordingMemo::Lines() const
{
    std::lock_guard lock(FLock);
    return FLines;
}

int TRecordingMemo::Count(const QString& part) const
{
    std::lock_guard lock(FLock);
    int count = 0;
    for (const QString& line : FLines)
        count += line.contains(part) ? 1 : 0;
    return count;
}

LoggingTest::LoggingTest() : FLogSystem(std::make_unique<TLogSystemScope>())
{
    SetDefaultFileName(LogFile());
    PrepareJCLToReady();
    RegisterMemo(&FLineMemo);
    RegisterMemo(&FMemo0);
}

LoggingTest::~LoggingTest()
{
    UnregisterMemo(&FLineMemo);
    UnregisterMemo(&FMemo0);
    FLogSystem.reset();
}

QStringList LoggingTest::LogFileLines() const
{
    QStringList lines = QString::fromUtf8(TestSupport::ReadFileBytes(LogFile())).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool LoggingTest::LogFileContains(const QString& part) const
{
    const QStringList lines = LogFileLines();
    return std::any_of(lines.begin(), lines.end(), [&](const QString& line) { return line.contains(part); });
}

// ---- Transactions ----

TTestTransaction::TTestTransaction() { Request = std::make_unique<TLEPacket>(); }

std::unique_ptr<TDataTransaction> MakeTransaction(int tag, const QByteArray& request)
{
    auto transaction = std::make_unique<TTestTransaction>();
    transaction->Tag = tag;
    transaction->Request->Tag = tag;
    transaction->Request->SetData(request);
    return transaction;
}

QByteArray Frame(int number)
{
    QByteArray frame(FrameSize, '\0');
    for (int i = 0; i < FrameSize; ++i)
        frame[i] = static_cast<char>(number * 16 + i);
    return frame;
}

// ---- Protocol threads ----

void TLineThread::Execute()
{
    ++Counters.Started;
    while (!Terminated())
        Event().WaitFor(100);
}

void TEchoThread::Execute()
{
    ++Counters.Started;
    while (!Terminated()) {
        try {
            Pass();
        } catch (const Exception& e) {
            DoLog(ClassName() + ":" + GetDeviceName() + ":" + e.ClassName() + ":" + e.Message(), lgErrorLevel1);
        }
    }
}

void TEchoThread::Pass()
{
    const std::unique_ptr<TDataTransaction> transaction = GetNextTransaction();
    if (!transaction) {
        Event().WaitFor(100);
        return;
    }
    TDataPacket& request = *transaction->Request;
    Purge();
    if (!WriteData(request.Data(), 500))
        return;
    QByteArray answer;
    if (!ReadData(request.DataLength(), answer, 1000)) {
        bool cancel = false;
        DoDisconnect(transaction.get(), cancel);
        return;
    }
    request.SetData(answer);
    DoReceive(&request);
}

void TServeEchoThread::Execute()
{
    while (!Terminated()) {
        try {
            QByteArray frame;
            if (ReadData(FrameSize, frame, 1000))
                WriteData(frame, 500);
        } catch (const Exception& e) {
            DoLog(e.Message(), lgErrorLevel1);
        }
    }
}

// ---- Peers ----

TUdpPeer::TUdpPeer(const char* address, TPeerMode mode) : FAddress(QString::fromLatin1(address)), FMode(mode)
{
    FSocket = BoundSocket(address, SOCK_DGRAM, FPort);
    FThread = std::thread([this] { Serve(); });
}

TUdpPeer::~TUdpPeer()
{
    FStop = true;
    FThread.join();
    ::close(FSocket);
}

QString TUdpPeer::DeviceName(const char* prefix) const
{
    return QString::fromLatin1(prefix) + FAddress + ":" + QString::number(FPort);
}

void TUdpPeer::Serve()
{
    while (!FStop) {
        if (!Readable(FSocket, 50))
            continue;
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t size = sizeof sender;
        const ssize_t taken = ::recvfrom(FSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &size);
        if (taken < 0)
            continue;
        ++FReceived;
        const QByteArray answer = Answer(QByteArray(buffer, taken), FMode);
        if (!answer.isEmpty())
            ::sendto(FSocket, answer.constData(), static_cast<std::size_t>(answer.size()), 0, reinterpret_cast<sockaddr*>(&sender), size);
    }
}

TTcpPeer::TTcpPeer(const char* address, TPeerMode mode) : FAddress(QString::fromLatin1(address)), FMode(mode)
{
    FListener = BoundSocket(address, SOCK_STREAM, FPort);
    ::listen(FListener, 4);
    FThread = std::thread([this] { Serve(); });
}

TTcpPeer::~TTcpPeer()
{
    FStop = true;
    FThread.join();
    ::close(FListener);
}

QString TTcpPeer::DeviceName() const { return QStringLiteral("TCP:") + FAddress + ":" + QString::number(FPort); }

void TTcpPeer::Serve()
{
    while (!FStop) {
        if (!Readable(FListener, 50))
            continue;
        const int connection = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        ++FAccepted;
        ServeConnection(connection);
    }
}

void TTcpPeer::ServeConnection(int connection)
{
    while (!FStop) {
        if (!Readable(connection, 50))
            continue;
        char buffer[2048];
        const ssize_t taken = ::recv(connection, buffer, sizeof buffer, 0);
        if (taken <= 0)
            break;
        SendAll(connection, Answer(QByteArray(buffer, taken), FMode));
        if (FMode == TPeerMode::ResetAfterAnswer) {
            const linger reset{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            break;
        }
    }
    ::close(connection);
}

int FreePort(const char* address, int socketType)
{
    int port = 0;
    const int fd = BoundSocket(address, socketType, port);
    ::close(fd);
    return port;
}

int ConnectTcp(const char* address, int port, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const sockaddr_in peer = LoopbackAddress(address, port);
    do {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
            return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (MsLeft(deadline) > 0);
    return -1;
}

QByteArray ExchangeOverStream(int socket, const QByteArray& frame, int timeoutMs)
{
    SendAll(socket, frame);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray answer;
    while (answer.size() < frame.size() && Readable(socket, MsLeft(deadline))) {
        char buffer[256];
        const ssize_t taken = ::recv(socket, buffer, sizeof buffer, 0);
        if (taken <= 0)
            break;
        answer.append(buffer, taken);
    }
    return answer;
}

// ---- Serial ----

TPty::TPty()
{
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 || ::ptsname_r(FMaster, name, sizeof name) != 0)
        ADD_FAILURE() << "no pseudo terminal: " << std::strerror(errno);
    FPath = QString::fromLocal8Bit(name);
}

TPty::~TPty()
{
    FStop = true;
    if (FEcho.joinable())
        FEcho.join();
    ::close(FMaster);
}

void TPty::Send(const QByteArray& bytes) { ASSERT_EQ(::write(FMaster, bytes.constData(), static_cast<std::size_t>(bytes.size())), bytes.size()); }

QByteArray TPty::Receive(int count, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray received;
    while (received.size() < count && MsLeft(deadline) > 0) {
        if (!Readable(FMaster, std::min(MsLeft(deadline), 50)))
            continue;
        char buffer[256];
        const ssize_t taken = ::read(FMaster, buffer, static_cast<std::size_t>(std::min<qsizetype>(count - received.size(), sizeof buffer)));
        if (taken > 0)
            received.append(buffer, taken);
        else
            // No terminal side open: nothing can come until the line opens again.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return received;
}

void TPty::StartEcho()
{
    FEcho = std::thread([this] {
        while (!FStop) {
            if (!Readable(FMaster, 50))
                continue;
            char buffer[256];
            const ssize_t taken = ::read(FMaster, buffer, sizeof buffer);
            if (taken > 0)
                (void)!::write(FMaster, buffer, static_cast<std::size_t>(taken));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

} // namespace ComTest
