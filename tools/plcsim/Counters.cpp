#include "Counters.h"
#include <QStringList>

QString TSimCounters::Format() const
{
    const struct {
        const char* Name;
        std::uint64_t Value;
    } fields[] = {
        {"udp-datagrams", UdpDatagrams},   {"tcp-connections", TcpConnections}, {"connect-frames", ConnectFrames},
        {"read-frames", ReadFrames},       {"bad-frames", BadFrames},           {"foreign-frames", ForeignFrames},
        {"answers", Answers},              {"dropped", Dropped},                {"short", ShortAnswers},
        {"wrong-id", WrongIdAnswers},      {"tcp-closed", TcpClosed},           {"delayed", Delayed},
        {"trickled", Trickled},            {"reset", Resets},                   {"serial-closed", SerialClosed},
        {"corrupted", Corrupted},          {"foreign-sent", ForeignSent},       {"duplicated", Duplicated},
        {"junk", Junk},
        {"http-requests", HttpRequests},   {"login-pages", LoginPages},         {"logins-accepted", LoginsAccepted},
        {"logins-refused", LoginsRefused}, {"pub-served", PubServed},           {"pub-refused", PubRefused},
        {"http-not-found", HttpNotFound},  {"http-bad", HttpBad},               {"http-delayed", HttpDelayed},
    };
    QStringList pairs;
    for (const auto& field : fields)
        pairs.append(QStringLiteral("%1=%2").arg(QLatin1String(field.Name)).arg(field.Value));
    return QStringLiteral("counters: ") + pairs.join(QLatin1Char(' '));
}
