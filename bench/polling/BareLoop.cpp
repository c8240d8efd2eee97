#include "BareLoop.h"
#include "Sockets.h"
#include <QByteArray>
#include <QCoreApplication>
#include <atomic>
#include <thread>
#include <unistd.h>

namespace {

constexpr int RequestSize = 14;
constexpr int AnswerSize = 255;

// The server thread: bound before the client starts, it answers every request until its socket
// is shut down.
class TBareServer {
public:
    TBareServer(bool udp, const char* address) : FUdp(udp)
    {
        FFd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in self = Loopback(address, 0);
        socklen_t length = sizeof self;
        if (::bind(FFd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 || (!udp && ::listen(FFd, 1) != 0) ||
            ::getsockname(FFd, reinterpret_cast<sockaddr*>(&self), &length) != 0)
            return;
        FPort = ntohs(self.sin_port);
        FThread = std::thread([this] { Serve(); });
    }

    ~TBareServer()
    {
        ::shutdown(FFd, SHUT_RDWR);
        if (FClient >= 0)
            ::shutdown(FClient, SHUT_RDWR);
        if (FThread.joinable())
            FThread.join();
        if (FClient >= 0)
            ::close(FClient);
        ::close(FFd);
    }

    quint16 Port() const { return FPort; }

private:
    void Serve()
    {
        char request[RequestSize];
        char answer[AnswerSize] = {};
        if (FUdp) {
            for (;;) {
                sockaddr_in peer{};
                socklen_t length = sizeof peer;
                const ssize_t n = ::recvfrom(FFd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&peer), &length);
                if (n <= 0)
                    return;
                ::sendto(FFd, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&peer), length);
            }
        }
        FClient = ::accept(FFd, nullptr, nullptr);
        if (FClient < 0)
            return;
        NoDelay(FClient);
        while (ReadAll(FClient, request, RequestSize))
            if (::send(FClient, answer, sizeof answer, MSG_NOSIGNAL) != AnswerSize)
                return;
    }

    bool FUdp;
    int FFd = -1;
    std::atomic<int> FClient{-1};
    quint16 FPort = 0;
    std::thread FThread;
};

} // namespace

TRates MeasureBareLoop(bool udp, bool handOver, const char* address, const TTiming& timing)
{
    TRates result;
    result.Name = QStringLiteral("%1 bare loop %2").arg(handOver ? "(a2)" : "(a) ", udp ? "UDP" : "TCP");
    TBareServer server(udp, address);
    if (!server.Port()) {
        result.Error = QStringLiteral("the server could not bind %1").arg(address);
        return result;
    }
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    const sockaddr_in peer = Loopback(address, server.Port());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        result.Error = QStringLiteral("the client could not connect");
        return result;
    }
    if (!udp)
        NoDelay(fd);
    // A UDP answer lost on loopback would hang the loop; a time-out turns it into a failure.
    const timeval timeOut{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeOut, sizeof timeOut);

    char request[RequestSize] = {};
    char answer[AnswerSize];
    QByteArray onMainThread;
    QCoreApplication* app = QCoreApplication::instance();
    const auto exchange = [&] {
        if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != RequestSize)
            return false;
        if (udp ? ::recv(fd, answer, sizeof answer, 0) != AnswerSize : !ReadAll(fd, answer, AnswerSize))
            return false;
        if (handOver)
            QMetaObject::invokeMethod(app, [&] { onMainThread = QByteArray(answer, AnswerSize); }, Qt::BlockingQueuedConnection);
        return true;
    };
    result.PerSecond = MeasureOnWorker(exchange, timing, result.Error);
    ::close(fd);
    return result;
}
