#include "epsnet/kxEPSNET_pubfile.h"
#include "common/kxtools.h"
#include "epsnet/kxEPSNET_frames.h"
#include "platform/TextFile.h"
#include <QCryptographicHash>
#include <QList>
#include <QPair>
#include <curl/curl.h>
#include <algorithm>
#include <memory>
#include <mutex>

namespace {

const char* const UserAgent = "Mozilla/4.0 (compatible; Synapse)";
const QString LoginPath = QStringLiteral("/syswww/login.xml");
const QByteArray ChallengeCookie = QByteArrayLiteral("SoftPLC");

void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TCurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
template <typename T> using TCurlPtr = std::unique_ptr<T, TCurlDeleter>;

// The extra request headers of one request.
class THeaderList {
public:
    THeaderList() = default;
    THeaderList(const THeaderList&) = delete;
    THeaderList& operator=(const THeaderList&) = delete;
    ~THeaderList() { curl_slist_free_all(FList); }

    void Append(const QByteArray& header)
    {
        curl_slist* list = curl_slist_append(FList, header.constData());
        if (!list)
            throw EEPSNETException(QStringLiteral("Out of memory for HTTP headers"));
        FList = list;
    }
    curl_slist* Get() const { return FList; }

private:
    curl_slist* FList = nullptr;
};

// One response as the exchange needs it: status, body and the cookies it set.
struct TResponse {
    long Status = 0;
    QByteArray Body;
    bool TooLarge = false;
    QList<QPair<QByteArray, QByteArray>> SetCookies;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user)
{
    auto* response = static_cast<TResponse*>(user);
    const size_t bytes = size * count;
    if (response->Body.size() + qsizetype(bytes) > PubFileMaxBodySize) {
        response->TooLarge = true;
        return 0; // makes the transfer fail with a write error
    }
    response->Body.append(data, qsizetype(bytes));
    return bytes;
}

// "Set-Cookie: name=value; attributes": the name and value are all the exchange needs.
size_t CollectHeader(char* data, size_t size, size_t count, void* user)
{
    auto* response = static_cast<TResponse*>(user);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    const qsizetype colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed().compare("Set-Cookie", Qt::CaseInsensitive) == 0) {
        const QByteArray pair = line.mid(colon + 1).split(';').first().trimmed();
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            response->SetCookies.append({pair.left(equals).trimmed(), pair.mid(equals + 1).trimmed()});
    }
    return size * count;
}

// Cookies the server set, sent back with every following request whatever their path or
// domain: the PLC's login only works if the challenge reaches the file request too.
class TCookieJar {
public:
    void Take(const TResponse& response)
    {
        for (const auto& cookie : response.SetCookies) {
            auto it = std::find_if(FCookies.begin(), FCookies.end(), [&](const auto& c) { return c.first == cookie.first; });
            if (it != FCookies.end())
                it->second = cookie.second;
            else
                FCookies.append(cookie);
        }
    }
    QByteArray Value(const QByteArray& name) const
    {
        for (const auto& cookie : FCookies)
            if (cookie.first == name)
                return cookie.second;
        return {};
    }
    // The Cookie header's value: name=value pairs joined by "; ".
    QByteArray Header() const
    {
        QByteArrayList pairs;
        for (const auto& [name, value] : FCookies)
            pairs.append(name + '=' + value);
        return pairs.join("; ");
    }

private:
    QList<QPair<QByteArray, QByteArray>> FCookies;
};

// Builds the URL with the URL parser, so a host with a stray "/" or "@" is refused instead of
// sending the login somewhere else.
QByteArray BuildUrl(const QString& host, int port, const QString& path)
{
    TCurlPtr<CURLU> url(curl_url());
    QByteArray hostPart = host.trimmed().toUtf8();
    if (hostPart.contains(':') && !hostPart.startsWith('['))
        hostPart = '[' + hostPart + ']';
    const QByteArray portText = QByteArray::number(port);
    if (!url || port < 1 || port > 65535 || curl_url_set(url.get(), CURLUPART_SCHEME, "http", 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_HOST, hostPart.constData(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PORT, portText.constData(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PATH, path.toUtf8().constData(), CURLU_URLENCODE) != CURLUE_OK)
        throw EEPSNETException(QStringLiteral("Invalid web server address \"%1\" port %2 path \"%3\"")
                                   .arg(host).arg(port).arg(path));
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
        throw EEPSNETException(QStringLiteral("Invalid web server address \"%1\"").arg(host));
    const QByteArray result(text);
    curl_free(text);
    return result;
}

// One easy handle for the whole exchange; each request sets method, body and cookies anew.
class THttpExchange {
public:
    THttpExchange(int timeOut, const std::function<bool()>& cancelled) : FCurl(curl_easy_init()), FCancelled(cancelled)
    {
        if (!FCurl)
            throw EEPSNETException(QStringLiteral("Cannot create an HTTP client"));
        CURL* c = FCurl.get();
        curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
        curl_easy_setopt(c, CURLOPT_USERAGENT, UserAgent);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(timeOut));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeOut));
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L); // called from worker threads
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
        curl_easy_setopt(c, CURLOPT_PROXY, ""); // the PLC is on the local line, never behind a proxy
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(PubFileMaxBodySize));
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, CollectHeader);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, FError);
        if (FCancelled) {
            curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, AbortWhenCancelled);
            curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
            curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        }
    }

    TResponse Get(const QByteArray& url) { return Perform("GET", url, nullptr); }
    TResponse Post(const QByteArray& url, const QByteArray& body) { return Perform("POST", url, &body); }

    const TCookieJar& Cookies() const { return FCookies; }

private:
    TResponse Perform(const char* method, const QByteArray& url, const QByteArray* body)
    {
        CURL* c = FCurl.get();
        TResponse response;
        THeaderList headers;
        const QByteArray cookies = FCookies.Header();
        if (!cookies.isEmpty())
            headers.Append("Cookie: " + cookies);
        if (body) {
            headers.Append("Content-Type: text/html");
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->constData());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body->size()));
        } else {
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L); // no body left over from the login
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.Get());
        curl_easy_setopt(c, CURLOPT_URL, url.constData());
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &response);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &response);
        FError[0] = '\0';
        const CURLcode result = curl_easy_perform(c);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        if (response.TooLarge || result == CURLE_FILESIZE_EXCEEDED)
            throw EEPSNETException(QStringLiteral("HTTP %1 %2: the body exceeds %3 bytes")
                                       .arg(QString::fromLatin1(method), QString::fromUtf8(url))
                                       .arg(PubFileMaxBodySize));
        if (result == CURLE_ABORTED_BY_CALLBACK)
            throw EEPSNETException(QStringLiteral("HTTP %1 %2 cancelled").arg(QString::fromLatin1(method), QString::fromUtf8(url)));
        if (result != CURLE_OK)
            throw EEPSNETException(QStringLiteral("HTTP %1 %2 failed: %3")
                                       .arg(QString::fromLatin1(method), QString::fromUtf8(url), ErrorText(result)));
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.Status);
        FCookies.Take(response);
        return response;
    }

    QString ErrorText(CURLcode result) const
    {
        const QString detail = QString::fromUtf8(FError).trimmed();
        return detail.isEmpty() ? QString::fromUtf8(curl_easy_strerror(result)) : detail;
    }

    static int AbortWhenCancelled(void* exchange, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        return static_cast<THttpExchange*>(exchange)->FCancelled() ? 1 : 0;
    }

    TCurlPtr<CURL> FCurl;
    std::function<bool()> FCancelled;
    TCookieJar FCookies;
    char FError[CURL_ERROR_SIZE] = {};
};

QByteArray LoginBody(const QByteArray& answer, const QString& User, const TCodePage& CodePage)
{
    return "PASS:" + answer + "\r\nUSER:" + CodePage.Encode(User) + "\r\n";
}

} // namespace

QString DecodePubFileBytes(const QByteArray& bytes, const TCodePage& CodePage)
{
    const bool hasBom = bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
    return hasBom ? DecodeTextBytes(bytes) : CodePage.Decode(bytes);
}

QByteArray PubFileLoginAnswer(const QByteArray& Challenge, const QString& Password, const TCodePage& CodePage)
{
    const QByteArray digest = QCryptographicHash::hash(Challenge + CodePage.Encode(Password), QCryptographicHash::Sha1);
    return StringToHex(digest, QString()).toLatin1();
}

QString GetPubFile(const QString& PLCIPAddress, const QString& User, const QString& Password,
                   const QString& FileName, const TCodePage& CodePage, int HttpPort, int TimeOut,
                   const std::function<bool()>& Cancelled)
{
    InitCurlOnce();
    const QByteArray loginUrl = BuildUrl(PLCIPAddress, HttpPort, LoginPath);
    const QByteArray fileUrl = BuildUrl(PLCIPAddress, HttpPort, QLatin1Char('/') + FileName);
    THttpExchange http(TimeOut, Cancelled);

    http.Get(loginUrl);
    const QByteArray challenge = http.Cookies().Value(ChallengeCookie);
    const TResponse login = http.Post(loginUrl, LoginBody(PubFileLoginAnswer(challenge, Password, CodePage), User, CodePage));
    const TResponse file = http.Get(fileUrl);

    // An error page is not a PUB file: taken as one, its lines would load a wrong tag list.
    if (file.Status < 200 || file.Status > 299) {
        const QString loginNote = login.Status >= 400 ? QStringLiteral(" (the login was answered with %1)").arg(login.Status)
                                                      : QString();
        throw EEPSNETException(QStringLiteral("HTTP GET %1 answered %2%3")
                                   .arg(QString::fromUtf8(fileUrl)).arg(file.Status).arg(loginNote));
    }
    const QString text = JoinTextLines(SplitTextLines(DecodePubFileBytes(file.Body, CodePage)));
    if (text.isEmpty())
        throw EEPSNETException(QStringLiteral("HTTP GET %1 returned an empty file").arg(QString::fromUtf8(fileUrl)));
    return text;
}
