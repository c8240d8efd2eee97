#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QTcpServer>
#include <functional>

class QSocketNotifier;
class TSimAnswerer;
class TSimStream;

// The listening socket of EPSNET over TCP; it hands every accepted descriptor on as it is, so
// that no QTcpSocket stands between the connection and its answers.
class TSimTcpServer : public QTcpServer {
public:
    TSimTcpServer(std::function<void(int)> accept, QObject* owner) : QTcpServer(owner), FAccept(std::move(accept)) {}

protected:
    void incomingConnection(qintptr descriptor) override { FAccept(int(descriptor)); }

private:
    std::function<void(int)> FAccept;
};

// One master's TCP connection, served through its descriptor: each wake-up takes what arrived
// in one read and the answers leave in one send, so that a request costs three system calls
// with the wait. Bytes the kernel does not take at once wait here for the socket to drain.
class TSimTcpConnection : public QObject {
    Q_OBJECT
public:
    // closed runs when the connection ended, by either side; the owner deletes it later, as
    // it may be on the stack then.
    TSimTcpConnection(int descriptor, TSimAnswerer& answerer, std::function<void(TSimTcpConnection*)> closed,
                      QObject* owner = nullptr);
    ~TSimTcpConnection() override;
    TSimTcpConnection(const TSimTcpConnection&) = delete;
    TSimTcpConnection& operator=(const TSimTcpConnection&) = delete;

    // Ends the connection with the orderly end of the stream.
    void Close();
    // Ends it with a reset: a linger time of zero makes the close send one.
    void Reset();

private:
    void Read();
    void Write(QByteArrayView bytes);
    void SendUnsent();
    // Sends what the kernel takes now; gives the rest, or -1 when the connection failed.
    qsizetype SendNow(QByteArrayView bytes);

    int FFd = -1;
    std::function<void(TSimTcpConnection*)> FClosed;
    QSocketNotifier* FReader = nullptr;
    QSocketNotifier* FWriter = nullptr;
    TSimStream* FStream = nullptr;
    QByteArray FUnsent;
};
