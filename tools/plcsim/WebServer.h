#pragma once
#include "Counters.h"
#include "Faults.h"
#include "platform/CodePage.h"
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <deque>
#include <optional>

class QTcpServer;
class QTcpSocket;
class TSimMemory;

struct TSimWebSettings {
    QString PubName = QStringLiteral("var.pub");
    QString Password;
    std::optional<QString> User; // checked only when given
};

// The PLC's web server, HTTP/1.0 with one request per connection:
//   GET  /syswww/login.xml  sets the cookie "SoftPLC" to a fresh random challenge;
//   POST /syswww/login.xml  takes "PASS:" + upper-case hex SHA-1 of challenge and password,
//                           CR LF, "USER:" + user, CR LF, and logs that challenge in;
//   GET  /<PUB file name>   the PUB file, only with the cookie of a logged-in challenge.
// The PUB faults and the response delay come from TSimFaults.
class TSimWebServer : public QObject {
    Q_OBJECT
public:
    TSimWebServer(const TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, const TCodePage& codePage,
                  TSimWebSettings settings, bool verbose, QObject* owner = nullptr);

    // Raises Exception when the port cannot be bound. Port 0 takes any free port.
    void Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const { return FPort; }
    // A refusing server closes its listening socket, so connections are refused; it listens on
    // the same port again when it stops refusing. Raises when the port cannot be bound again.
    void SetRefusing(bool refusing);

    struct TRequest {
        QByteArray Method;
        QByteArray Path;
        QHash<QByteArray, QByteArray> Headers; // names in lower case
        QByteArray Body;
    };
    struct TResponse {
        int Status = 200;
        QByteArray ContentType = "text/xml";
        QByteArray Body;
        QByteArray SetCookie;
    };

private:
    struct TSession {
        QByteArray Challenge;
        bool LoggedIn = false;
    };

    void Accept();
    void Read(QTcpSocket* socket);
    TResponse Handle(const TRequest& request);
    TResponse LoginPage();
    TResponse Login(const TRequest& request);
    TResponse PubFile(const TRequest& request);
    void Respond(QTcpSocket* socket, const TResponse& response);
    TSession* FindSession(const TRequest& request);

    const TSimMemory& FMemory;
    TSimFaults& FFaults;
    TSimCounters& FCounters;
    const TCodePage& FCodePage;
    TSimWebSettings FSettings;
    bool FVerbose;
    QTcpServer* FServer = nullptr;
    QHostAddress FAddress;
    quint16 FPort = 0;
    // Connections still sending their request, with what they sent so far.
    QHash<QTcpSocket*, QByteArray> FPending;
    // The newest challenges handed out; the oldest are forgotten first.
    std::deque<TSession> FSessions;
};
