#include "WebServer.h"
#include "Memory.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include "platform/Exceptions.h"
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {

const QByteArray LoginPath = "/syswww/login.xml";
const QByteArray ChallengeCookie = "SoftPLC";
// Bounds that no request of the master comes near, so a stray client cannot fill the memory.
constexpr qsizetype MaxHeadSize = 16 * 1024;
constexpr qsizetype MaxBodySize = 64 * 1024;
constexpr qsizetype MaxSessions = 256;
// A connection that sends no complete request in this time is closed.
constexpr int IdleTimeOut = 30000;

QByteArray ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QByteArray HtmlPage(const QByteArray& title)
{
    return "<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1></body></html>\r\n";
}

QByteArray FreshChallenge()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex().toUpper();
}

// The value of one cookie in a request's "Cookie: a=1; b=2" header.
QByteArray CookieValue(const TSimWebServer::TRequest& request, const QByteArray& name)
{
    for (const QByteArray& pair : request.Headers.value("cookie").split(';')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0 && pair.left(equals).trimmed() == name)
            return pair.mid(equals + 1).trimmed();
    }
    return {};
}

// The value after "NAME:" on a line of the login body.
QByteArray LoginField(const QByteArray& body, const QByteArray& name)
{
    for (QByteArray line : body.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1);
    }
    return {};
}

enum class THeadResult { Incomplete, Complete, Bad };

// Request line and headers, up to the empty line; Consumed is the size of the head.
THeadResult ParseHead(const QByteArray& bytes, TSimWebServer::TRequest& request, qsizetype& consumed)
{
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return bytes.size() > MaxHeadSize ? THeadResult::Bad : THeadResult::Incomplete;
    consumed = end + 4;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/") || !requestLine[1].startsWith('/'))
        return THeadResult::Bad;
    request.Method = requestLine[0];
    const QByteArray target = requestLine[1].split('?').first();
    request.Path = QUrl::fromPercentEncoding(target).toUtf8();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            return THeadResult::Bad;
        request.Headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    return THeadResult::Complete;
}

QByteArray BadPubFile()
{
    return "; an erroneous PUB file: the tag lines below lack fields or use unknown words\r\n"
           "Pump R B 10\r\n"
           "Mode R W 7 MYENUM\r\n"
           "x1 r B 0 BOOL\r\n";
}

// Text that a PUB parser skips line by line, of exactly size bytes.
QByteArray HugePubFile(qint64 size)
{
    const QByteArray line = "; filler line of a PUB file far too large for any PLC\r\n";
    QByteArray body = line.repeated(qsizetype(size / line.size() + 1));
    body.truncate(qsizetype(size));
    return body;
}

} // namespace

TSimWebServer::TSimWebServer(const TSimMemory& memory, TSimFaults& faults, TSimCounters& counters,
                             const TCodePage& codePage, TSimWebSettings settings, bool verbose, QObject* owner)
    : QObject(owner), FMemory(memory), FFaults(faults), FCounters(counters), FCodePage(codePage),
      FSettings(std::move(settings)), FVerbose(verbose)
{
}

void TSimWebServer::Listen(const QHostAddress& address, quint16 port)
{
    if (!FServer) {
        FServer = new QTcpServer(this);
        connect(FServer, &QTcpServer::newConnection, this, &TSimWebServer::Accept);
    }
    if (!FServer->listen(address, port))
        throw Exception(QStringLiteral("Cannot listen for HTTP on %1:%2: %3").arg(address.toString()).arg(port).arg(FServer->errorString()));
    FAddress = address;
    FPort = FServer->serverPort();
}

void TSimWebServer::SetRefusing(bool refusing)
{
    if (!FServer || refusing == !FServer->isListening())
        return;
    if (refusing)
        FServer->close();
    else
        Listen(FAddress, FPort);
}

void TSimWebServer::Accept()
{
    while (QTcpSocket* socket = FServer->nextPendingConnection()) {
        FPending.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            FPending.remove(socket);
            socket->deleteLater();
        });
        QTimer::singleShot(IdleTimeOut, socket, [this, socket] {
            if (FPending.contains(socket))
                socket->abort();
        });
    }
}

void TSimWebServer::Read(QTcpSocket* socket)
{
    if (!FPending.contains(socket)) {
        socket->readAll(); // one request per connection: the rest is not read
        return;
    }
    QByteArray& bytes = FPending[socket];
    bytes += socket->readAll();
    TRequest request;
    qsizetype headSize = 0;
    const THeadResult head = ParseHead(bytes, request, headSize);
    if (head == THeadResult::Incomplete)
        return;
    TResponse response;
    if (head == THeadResult::Bad) {
        ++FCounters.HttpBad;
        response = {400, "text/html", HtmlPage("400 Bad Request"), {}};
    } else {
        bool lengthOk = true;
        const qsizetype length = request.Headers.value("content-length", "0").toLongLong(&lengthOk);
        if (!lengthOk || length < 0 || length > MaxBodySize) {
            ++FCounters.HttpBad;
            response = {413, "text/html", HtmlPage("413 Payload Too Large"), {}};
        } else if (bytes.size() < headSize + length) {
            return;
        } else {
            request.Body = bytes.mid(headSize, length);
            response = Handle(request);
        }
    }
    FPending.remove(socket);
    Respond(socket, response);
}

TSimWebServer::TResponse TSimWebServer::Handle(const TRequest& request)
{
    ++FCounters.HttpRequests;
    if (FVerbose)
        std::fprintf(stderr, "vocator-plcsim: http %s %s\n", request.Method.constData(), request.Path.constData());
    if (request.Path == LoginPath && request.Method == "GET")
        return LoginPage();
    if (request.Path == LoginPath && request.Method == "POST")
        return Login(request);
    if (request.Path == '/' + FSettings.PubName.toUtf8() && request.Method == "GET")
        return PubFile(request);
    ++FCounters.HttpNotFound;
    return {404, "text/html", HtmlPage("404 Not Found"), {}};
}

TSimWebServer::TResponse TSimWebServer::LoginPage()
{
    ++FCounters.LoginPages;
    TSession session{FreshChallenge(), false};
    FSessions.push_back(session);
    if (qsizetype(FSessions.size()) > MaxSessions)
        FSessions.pop_front();
    return {200, "text/xml", "<?xml version=\"1.0\"?>\r\n<login><user/><password/></login>\r\n",
            ChallengeCookie + '=' + session.Challenge + "; Path=/"};
}

TSimWebServer::TResponse TSimWebServer::Login(const TRequest& request)
{
    TSession* session = FindSession(request);
    const QByteArray expected = session ? PubFileLoginAnswer(session->Challenge, FSettings.Password, FCodePage) : QByteArray();
    const bool userOk = !FSettings.User || FCodePage.Decode(LoginField(request.Body, "USER")) == *FSettings.User;
    if (!session || LoginField(request.Body, "PASS") != expected || !userOk) {
        ++FCounters.LoginsRefused;
        return {403, "text/xml", "<?xml version=\"1.0\"?>\r\n<login result=\"refused\"/>\r\n", {}};
    }
    ++FCounters.LoginsAccepted;
    session->LoggedIn = true;
    return {200, "text/xml", "<?xml version=\"1.0\"?>\r\n<login result=\"ok\"/>\r\n", {}};
}

TSimWebServer::TResponse TSimWebServer::PubFile(const TRequest& request)
{
    const TSession* session = FindSession(request);
    if (!session || !session->LoggedIn) {
        ++FCounters.PubRefused;
        return {403, "text/html", HtmlPage("403 Login required"), {}};
    }
    ++FCounters.PubServed;
    switch (FFaults.PubMode) {
    case TPubMode::Empty: return {200, "text/plain", {}, {}};
    case TPubMode::Error: return {500, "text/html", HtmlPage("500 Internal Server Error"), {}};
    case TPubMode::Bad: return {200, "text/plain", BadPubFile(), {}};
    case TPubMode::Huge: return {200, "text/plain", HugePubFile(FFaults.HugeSize), {}};
    case TPubMode::File: return {200, "text/plain", FFaults.FileBody, {}};
    case TPubMode::Normal: break;
    }
    return {200, "text/plain", FMemory.PubBytes(), {}};
}

TSimWebServer::TSession* TSimWebServer::FindSession(const TRequest& request)
{
    const QByteArray challenge = CookieValue(request, ChallengeCookie);
    for (TSession& session : FSessions)
        if (!challenge.isEmpty() && session.Challenge == challenge)
            return &session;
    return nullptr;
}

void TSimWebServer::Respond(QTcpSocket* socket, const TResponse& response)
{
    QByteArray bytes = "HTTP/1.0 " + QByteArray::number(response.Status) + ' ' + ReasonPhrase(response.Status) + "\r\n";
    bytes += "Server: vocator-plcsim\r\nConnection: close\r\n";
    bytes += "Content-Type: " + response.ContentType + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(response.Body.size()) + "\r\n";
    if (!response.SetCookie.isEmpty())
        bytes += "Set-Cookie: " + response.SetCookie + "\r\n";
    bytes += "\r\n" + response.Body;
    const auto send = [socket, bytes] {
        socket->write(bytes);
        socket->disconnectFromHost(); // after the pending bytes are written
    };
    if (FFaults.HttpDelay > 0) {
        ++FCounters.HttpDelayed;
        QTimer::singleShot(FFaults.HttpDelay, socket, send);
    } else {
        send();
    }
}
