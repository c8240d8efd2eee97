// The PUB file download against real web servers: the simulator's, with its login and faults,
// and a scripted one that records the exact requests.
#include "SimProcess.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "TestSupport.h"
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const TCodePage Cp1250(QStringLiteral("windows-1250"));

// Answers each connection with the next canned response and keeps each request as it came.
class TRecordingWebServer {
public:
    explicit TRecordingWebServer(QList<QByteArray> responses) : FAddress(TSimProcess::NextAddress())
    {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, FAddress.toLatin1().constData(), &address.sin_addr);
        socklen_t size = sizeof address;
        if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(FListener, 4) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot listen");
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this, responses] {
            for (const QByteArray& response : responses)
                if (!Serve(response))
                    break;
        });
    }
    ~TRecordingWebServer()
    {
        ::shutdown(FListener, SHUT_RDWR);
        FThread.join();
        ::close(FListener);
    }

    const QString& Address() const { return FAddress; }
    quint16 Port() const { return FPort; }
    // Complete once the client is done.
    QList<QByteArray> Requests;

private:
    bool Serve(const QByteArray& response)
    {
        pollfd wait{FListener, POLLIN, 0};
        if (::poll(&wait, 1, 10000) != 1)
            return false;
        const int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return false;
        QByteArray request;
        char buffer[4096];
        while (!IsComplete(request)) {
            pollfd readable{client, POLLIN, 0};
            const ssize_t got = ::poll(&readable, 1, 5000) == 1 ? ::recv(client, buffer, sizeof buffer, 0) : -1;
            if (got <= 0)
                break;
            request.append(buffer, got);
        }
        Requests.append(request);
        ::send(client, response.constData(), size_t(response.size()), MSG_NOSIGNAL);
        ::close(client);
        return true;
    }

    static bool IsComplete(const QByteArray& request)
    {
        const qsizetype end = request.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const qsizetype length = request.indexOf("Content-Length: ");
        const qsizetype bodySize = length < 0 ? 0 : request.mid(length + 16, request.indexOf("\r\n", length) - length - 16).toLongLong();
        return request.size() >= end + 4 + bodySize;
    }

    QString FAddress;
    int FListener = -1;
    quint16 FPort = 0;
    std::thread FThread;
};

// One raw HTTP/1.0 exchange with the simulator's web server: the whole response.
QByteArray HttpExchange(const TSimProcess& sim, const QByteArray& request)
{
    TRawSocket socket = TRawSocket::Tcp(sim.Address(), sim.Port(QStringLiteral("http")));
    socket.Send(request);
    return socket.Receive(1 << 20, 5000);
}

QByteArray SetCookieValue(const QByteArray& response)
{
    const qsizetype at = response.indexOf("Set-Cookie: SoftPLC=");
    return at < 0 ? QByteArray() : response.mid(at + 20, response.indexOf(';', at) - at - 20);
}

QString Download(const TSimProcess& sim, const QString& password = {}, const TCodePage& codePage = Cp1250,
                 const QString& user = {}, int timeOut = 10000, const QString& fileName = QStringLiteral("var.pub"))
{
    return GetPubFile(sim.Address(), user, password, fileName, codePage, sim.Port(QStringLiteral("http")), timeOut);
}

// The message of what the download raised; empty when it did not raise.
QString DownloadError(const TSimProcess& sim, const QString& password = {}, int timeOut = 10000)
{
    try {
        Download(sim, password, Cp1250, {}, timeOut);
    } catch (const EEPSNETException& error) {
        return error.Message();
    }
    return {};
}

class PubFileDownload : public ::testing::Test {
protected:
    void SetUp() override
    {
        // LF line ends and a description in windows-1250, as a Czech PLC would serve it.
        TestSupport::WriteFileBytes(Pub, "Pump R B 10 .2 BOOL ;\xE8" "erpadlo\nMsg R B 200 STRING[40]\n\nCnt R B 4 UDINT");
    }
    QStringList SimArguments(const QStringList& more = {}) const
    {
        return QStringList{QStringLiteral("--http"), QStringLiteral("0"), QStringLiteral("--pub"), Pub,
                           QStringLiteral("--code-page"), QStringLiteral("windows-1250")} + more;
    }

    TestSupport::TTempDir Dir;
    QString Pub = Dir.File(QStringLiteral("var.pub"));
    const QString ExpectedText = QStringLiteral("Pump R B 10 .2 BOOL ;\u010Derpadlo\r\nMsg R B 200 STRING[40]\r\n\r\nCnt R B 4 UDINT\r\n");
};

} // namespace

TEST(PubFileLoginAnswer, IsTheUpperCaseHexSha1OfChallengeAndPassword)
{
    // SHA-1 of "abc" holds the bytes A9 and 0D; each byte keeps both of its digits.
    EXPECT_EQ(PubFileLoginAnswer("ab", QStringLiteral("c"), Cp1250), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(PubFileLoginAnswer("", QString(), Cp1250), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    // The password goes through the PLC's code page: "č" is the single byte E8 in windows-1250.
    EXPECT_EQ(PubFileLoginAnswer("", QStringLiteral("\u010D"), Cp1250),
              QCryptographicHash::hash("\xE8", QCryptographicHash::Sha1).toHex().toUpper());
}

TEST(PubFileRequests, AreTheThreeRequestsWithCookieAndLoginBody)
{
    // A server that sets the challenge "ab" (for path /syswww only) and a second cookie gets a
    // login answered for password "c", and the file request carries both cookies and no body.
    TRecordingWebServer server({
        "HTTP/1.0 200 OK\r\nSet-Cookie: SoftPLC=ab; path=/syswww\r\nSet-Cookie: lang=cs\r\nContent-Length: 7\r\n\r\n<login>",
        "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.0 200 OK\r\n\r\nPump R B 10 .2 BOOL\nMsg R B 200 STRING[40]\n",
    });
    const QString text = GetPubFile(server.Address(), QStringLiteral("oper\u00E1tor"), QStringLiteral("c"), QStringLiteral("var.pub"),
                                    Cp1250, server.Port(), 10000);
    EXPECT_EQ(text, QStringLiteral("Pump R B 10 .2 BOOL\r\nMsg R B 200 STRING[40]\r\n"));

    ASSERT_EQ(server.Requests.size(), 3);
    const QByteArray& page = server.Requests[0];
    const QByteArray& login = server.Requests[1];
    const QByteArray& file = server.Requests[2];
    EXPECT_TRUE(page.startsWith("GET /syswww/login.xml HTTP/1.0\r\n")) << page.toStdString();
    EXPECT_TRUE(page.contains("\r\nUser-Agent: Mozilla/4.0 (compatible; Synapse)\r\n"));
    EXPECT_FALSE(page.contains("Cookie:"));

    const QByteArray body = "PASS:A9993E364706816ABA3E25717850C26C9CD0D89D\r\nUSER:oper\xE1tor\r\n";
    EXPECT_TRUE(login.startsWith("POST /syswww/login.xml HTTP/1.0\r\n")) << login.toStdString();
    EXPECT_TRUE(login.contains("\r\nCookie: SoftPLC=ab; lang=cs\r\n"));
    EXPECT_TRUE(login.contains("\r\nContent-Type: text/html\r\n"));
    EXPECT_TRUE(login.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
    EXPECT_TRUE(login.endsWith("\r\n\r\n" + body));

    EXPECT_TRUE(file.startsWith("GET /var.pub HTTP/1.0\r\n")) << file.toStdString();
    EXPECT_TRUE(file.contains("\r\nCookie: SoftPLC=ab; lang=cs\r\n"));
    EXPECT_FALSE(file.contains("Content-Length"));
    EXPECT_TRUE(file.endsWith("\r\n\r\n"));
}

TEST_F(PubFileDownload, LogsInAndReturnsTheFileWithCrLfLines)
{
    // The simulator's login with a password; the LF-only file comes back with CR LF after every
    // line, its windows-1250 text decoded.
    TSimProcess sim(SimArguments({QStringLiteral("--password"), QStringLiteral("heslo\u010D")}));
    EXPECT_EQ(Download(sim, QStringLiteral("heslo\u010D")), ExpectedText);
    const QString counters = sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("login-pages")), 1);
    EXPECT_EQ(Counter(counters, QStringLiteral("logins-accepted")), 1);
    EXPECT_EQ(Counter(counters, QStringLiteral("pub-served")), 1);
}

TEST_F(PubFileDownload, AByteOrderMarkChoosesTheEncoding)
{
    // A UTF-8 file with its mark is read as UTF-8 whatever the PLC's code page; the file name
    // may have a folder.
    TestSupport::WriteFileBytes(Pub, "\xEF\xBB\xBFPump R B 10 .2 BOOL ;\xC4\x8D" "erpadlo\r\n");
    TSimProcess sim(SimArguments({QStringLiteral("--pub-name"), QStringLiteral("data/plc.pub")}));
    EXPECT_EQ(Download(sim, {}, Cp1250, {}, 10000, QStringLiteral("data/plc.pub")), QStringLiteral("Pump R B 10 .2 BOOL ;\u010Derpadlo\r\n"));
}

TEST_F(PubFileDownload, WrongPasswordOrUserIsRefused)
{
    // The simulator refuses the login, then the file; the download says so.
    TSimProcess sim(SimArguments({QStringLiteral("--password"), QStringLiteral("secret"), QStringLiteral("--user"), QStringLiteral("admin")}));
    const QString error = DownloadError(sim, QStringLiteral("wrong"));
    EXPECT_TRUE(error.contains(QStringLiteral("answered 403")) && error.contains(QStringLiteral("login was answered with 403")))
        << error.toStdString();
    EXPECT_THROW(Download(sim, QStringLiteral("secret"), Cp1250, QStringLiteral("other")), EEPSNETException);
    EXPECT_EQ(Download(sim, QStringLiteral("secret"), Cp1250, QStringLiteral("admin")), ExpectedText);
    const QString counters = sim.Command(QStringLiteral("stats"));
    EXPECT_EQ(Counter(counters, QStringLiteral("logins-refused")), 2);
    EXPECT_EQ(Counter(counters, QStringLiteral("pub-refused")), 2);
    EXPECT_EQ(Counter(counters, QStringLiteral("logins-accepted")), 1);
}

TEST_F(PubFileDownload, SimulatorServesTheFileOnlyAfterALoginWithUpperCaseHex)
{
    // Raw HTTP against the simulator: a fresh challenge per login page, no file without a
    // login, a lower-case answer refused, the file byte for byte after the right answer.
    TSimProcess sim(SimArguments());
    const QByteArray first = HttpExchange(sim, "GET /syswww/login.xml HTTP/1.0\r\n\r\n");
    const QByteArray challenge = SetCookieValue(HttpExchange(sim, "GET /syswww/login.xml HTTP/1.0\r\n\r\n"));
    ASSERT_FALSE(challenge.isEmpty()) << first.toStdString();
    EXPECT_NE(SetCookieValue(first), challenge);
    const QByteArray cookie = "Cookie: SoftPLC=" + challenge + "\r\n";
    const QByteArray answer = QCryptographicHash::hash(challenge, QCryptographicHash::Sha1).toHex();
    const auto login = [&](const QByteArray& hex) {
        const QByteArray body = "PASS:" + hex + "\r\nUSER:\r\n";
        return HttpExchange(sim, "POST /syswww/login.xml HTTP/1.0\r\n" + cookie + "Content-Length: " +
                                     QByteArray::number(body.size()) + "\r\n\r\n" + body);
    };

    EXPECT_TRUE(HttpExchange(sim, "GET /var.pub HTTP/1.0\r\n" + cookie + "\r\n").startsWith("HTTP/1.0 403"));
    EXPECT_TRUE(login(answer).startsWith("HTTP/1.0 403"));
    EXPECT_TRUE(login(answer.toUpper()).startsWith("HTTP/1.0 200"));
    const QByteArray file = HttpExchange(sim, "GET /var.pub HTTP/1.0\r\n" + cookie + "\r\n");
    EXPECT_TRUE(file.startsWith("HTTP/1.0 200"));
    EXPECT_TRUE(file.endsWith("\r\n\r\n" + TestSupport::ReadFileBytes(Pub)));
    EXPECT_TRUE(HttpExchange(sim, "GET /other.pub HTTP/1.0\r\n" + cookie + "\r\n").startsWith("HTTP/1.0 404"));
    EXPECT_TRUE(HttpExchange(sim, "NONSENSE\r\n\r\n").startsWith("HTTP/1.0 400"));
}

TEST_F(PubFileDownload, HttpFaultsRaiseClearErrorsAndWearOffWithReset)
{
    // Each fault of the web server makes the download raise with its reason; after "reset"
    // the same simulator serves the file again.
    TSimProcess sim(SimArguments());
    const struct {
        const char* Command;
        int TimeOut;
        const char* Message;
    } cases[] = {
        {"http off", 10000, "HTTP GET http://%1/syswww/login.xml failed"},
        {"http-delay 5000", 500, "timed out"},
        {"pub error", 10000, "answered 500"},
        {"pub empty", 10000, "returned an empty file"},
        {"pub huge 17000000", 10000, "the body exceeds 16777216 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        ASSERT_EQ(sim.Command(QString::fromUtf8(c.Command)), QStringLiteral("ok"));
        QElapsedTimer clock;
        clock.start();
        const QString error = DownloadError(sim, {}, c.TimeOut);
        const QString endpoint = QStringLiteral("%1:%2").arg(sim.Address()).arg(sim.Port(QStringLiteral("http")));
        QString message = QString::fromUtf8(c.Message);
        if (message.contains(QStringLiteral("%1")))
            message = message.arg(endpoint);
        EXPECT_TRUE(error.contains(message)) << error.toStdString();
        EXPECT_LT(clock.elapsed(), 4000);
        ASSERT_EQ(sim.Command(QStringLiteral("reset")), QStringLiteral("ok"));
        EXPECT_EQ(Download(sim), ExpectedText);
    }
    // The delay held one response only: the client gave up on its first request.
    EXPECT_EQ(Counter(sim.Command(QStringLiteral("stats")), QStringLiteral("http-delayed")), 1);
}

TEST_F(PubFileDownload, BadPubAndANewPubAreServedAsTheyAre)
{
    // "pub bad" serves lines the tag list rejects; "load" switches the file that is served.
    TSimProcess sim(SimArguments());
    ASSERT_EQ(sim.Command(QStringLiteral("pub bad")), QStringLiteral("ok"));
    TEpsnetTagList tags;
    try {
        tags.LoadFromString(Download(sim));
        ADD_FAILURE() << "the bad PUB file loaded";
    } catch (const EEPSNETException& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("PUB file not loaded: no usable tag: PUB line 2 left out: Wrong line format:Pump R B 10"));
    }
    ASSERT_EQ(sim.Command(QStringLiteral("pub normal")), QStringLiteral("ok"));
    const QString other = Dir.File(QStringLiteral("other.pub"));
    TestSupport::WriteFileBytes(other, "Level R B 0 INT\r\n");
    EXPECT_EQ(sim.Command(QStringLiteral("load ") + other), QStringLiteral("ok 1 tags"));
    EXPECT_EQ(Download(sim), QStringLiteral("Level R B 0 INT\r\n"));
}

TEST(PubFileAddress, HostsPortsThatAreNoAddressAreRefusedBeforeAnyRequest)
{
    // A host with a path or user part, or a port outside 1..65535, never reaches the network.
    const struct {
        const char* Host;
        int Port;
    } cases[] = {{"127.0.0.1/evil", 80}, {"user@127.0.0.1", 80}, {"127.0.0.1", 0}, {"127.0.0.1", 70000}, {"", 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Host);
        try {
            GetPubFile(QString::fromUtf8(c.Host), {}, {}, QStringLiteral("var.pub"), Cp1250, c.Port, 1000);
            ADD_FAILURE() << "no exception";
        } catch (const EEPSNETException& error) {
            EXPECT_TRUE(error.Message().startsWith(QStringLiteral("Invalid web server address"))) << error.Message().toStdString();
        }
    }
}
