#include "Commands.h"
#include "Memory.h"
#include "Slave.h"
#include "WebServer.h"
#include "platform/Exceptions.h"
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <limits>

namespace {

const QStringList CommandWords = {
    QStringLiteral("set"),   QStringLiteral("get"),        QStringLiteral("poke"),  QStringLiteral("peek"),
    QStringLiteral("load"),  QStringLiteral("drop"),       QStringLiteral("short"), QStringLiteral("wrongid"),
    QStringLiteral("delay"), QStringLiteral("trickle"),    QStringLiteral("close"), QStringLiteral("serial-close"),
    QStringLiteral("pub"),   QStringLiteral("http-delay"), QStringLiteral("http"),  QStringLiteral("reset"),
    QStringLiteral("stats"), QStringLiteral("quit"),       QStringLiteral("badfcs"), QStringLiteral("badstation"),
    QStringLiteral("badlen"), QStringLiteral("foreign"),   QStringLiteral("duplicate"), QStringLiteral("junk"),
};

// The longest delay a command takes: a day.
constexpr int MaxDelay = 24 * 3600 * 1000;

// The largest body the huge-PUB fault serves: enough to pass any sane client's bound.
constexpr qint64 MaxHugeSize = qint64(256) * 1024 * 1024;

// The first word and the rest of the line, the rest without its leading blanks.
std::pair<QString, QString> SplitWord(const QString& text)
{
    const QString trimmed = text.trimmed();
    const qsizetype blank = trimmed.indexOf(QRegularExpression(QStringLiteral("\\s")));
    if (blank < 0)
        return {trimmed, {}};
    return {trimmed.left(blank), trimmed.mid(blank + 1).trimmed()};
}

int Count(const QString& text, const QString& command, int high = std::numeric_limits<int>::max())
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > high)
        throw Exception(QStringLiteral("%1 needs a count from 0 to %2, not \"%3\"").arg(command).arg(high).arg(text));
    return value;
}

// "R100" gives area R and address 100.
std::pair<TEPSNETArea, int> AreaAddress(const QString& text)
{
    if (text.size() < 2)
        throw Exception(QStringLiteral("\"%1\" is not an area letter and an address, like R100").arg(text));
    const TEPSNETArea area = CharToArea(text.at(0));
    bool ok = false;
    const int address = text.mid(1).toInt(&ok);
    if (!ok || address < 0 || address >= TEPSNETRam::RamSize)
        throw Exception(QStringLiteral("\"%1\" is not an address from 0 to %2").arg(text.mid(1)).arg(TEPSNETRam::RamSize - 1));
    return {area, address};
}

QByteArray HexBytes(const QString& text)
{
    QByteArray bytes;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        bool ok = false;
        const uint value = word.toUInt(&ok, 16);
        if (!ok || value > 0xFF)
            throw Exception(QStringLiteral("\"%1\" is not a hexadecimal byte").arg(word));
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

// The bytes a "pub file" serves, read once when the command comes.
QByteArray FileBody(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("pub file cannot open \"%1\": %2").arg(path, file.errorString()));
    if (file.size() > MaxHugeSize)
        throw Exception(QStringLiteral("pub file \"%1\" is larger than %2 bytes").arg(path).arg(MaxHugeSize));
    return file.readAll();
}

TPubMode PubMode(const QString& word)
{
    if (word == u"normal") return TPubMode::Normal;
    if (word == u"empty") return TPubMode::Empty;
    if (word == u"error") return TPubMode::Error;
    if (word == u"bad") return TPubMode::Bad;
    if (word == u"huge") return TPubMode::Huge;
    if (word == u"file") return TPubMode::File;
    throw Exception(QStringLiteral("pub needs normal, empty, error, bad, huge BYTES or file PATH, not \"%1\"").arg(word));
}

} // namespace

TSimCommands::TSimCommands(TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, TSimSlave& slave,
                           TSimWebServer* web, std::function<void()> quit)
    : FMemory(memory), FFaults(faults), FCounters(counters), FSlave(slave), FWeb(web), FQuit(std::move(quit))
{
}

QString TSimCommands::HelpText()
{
    return QStringLiteral(
        "  set TAG VALUE         set a tag; VALUE is the rest of the line (\"...\" keeps blanks)\n"
        "  get TAG               the tag's value as the master shows it\n"
        "  poke AREA+ADDR HEX..  raw bytes, for example: poke R100 48 69 00\n"
        "  peek AREA+ADDR COUNT  raw bytes in hex\n"
        "  load FILE             a new PUB file: tags and the served file (values stay)\n"
        "  drop N                answer nothing to the next N frames\n"
        "  short N               send only the first half of the next N answers\n"
        "  wrongid N             answer the next N UDP frames with the identifier before the request's\n"
        "  delay MS N            send the next N answers MS milliseconds late (UDP: with the\n"
        "                        identifier of their request; TCP and serial: the answers behind\n"
        "                        them wait too)\n"
        "  trickle N             send the next N TCP or serial answers one byte at a time, 2 ms apart\n"
        "  reset N               send the first half of the next N TCP answers, then reset the\n"
        "                        connection\n"
        "  badfcs N              send the next N answers with a wrong check sum\n"
        "  badstation N          send the next N answers from another station (check sum right)\n"
        "  badlen N              send the next N read answers with length bytes that disagree\n"
        "  foreign N [IP]        UDP: before each of the next N answers send a forged one (its\n"
        "                        data all 'F') from IP, or from another port of our own address\n"
        "  duplicate N           send the next N answers twice\n"
        "  junk N                send junk before the next N answers (UDP: a datagram of it)\n"
        "  close                 close every open TCP connection now\n"
        "  serial-close MS       unplug the serial line: its pty closes at once, a new one takes its\n"
        "                        place under the same link after MS milliseconds\n"
        "  pub MODE              the PUB file served: normal, empty, error (500), bad (broken lines),\n"
        "                        huge BYTES, or file PATH (that file's bytes as they are)\n"
        "  http-delay MS         hold every HTTP response MS milliseconds (0: none)\n"
        "  http off|on           refuse HTTP connections, or serve them again\n"
        "  reset                 clear every fault (held answers still go out)\n"
        "  stats                 print the counters\n"
        "  quit                  end the simulator\n"
        "Each command prints one line: ok, ok VALUE, the counters or error: MESSAGE.\n"
        "Script lines: MILLISECONDS COMMAND, the time counted from the ready line.");
}

void TSimCommands::CheckCommandWord(const QString& line)
{
    const QString word = SplitWord(line).first;
    if (!CommandWords.contains(word))
        throw Exception(QStringLiteral("Unknown command \"%1\"").arg(word));
}

QString TSimCommands::Execute(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
        return {};
    try {
        CheckCommandWord(trimmed);
        const auto [command, rest] = SplitWord(trimmed);
        return Run(command, rest);
    } catch (...) {
        return QStringLiteral("error: ") + DescribeException(std::current_exception()).Message;
    }
}

QString TSimCommands::Run(const QString& command, const QString& rest)
{
    const auto [first, second] = SplitWord(rest);
    if (command == u"set") {
        if (first.isEmpty())
            throw Exception(QStringLiteral("set needs a tag name and a value"));
        FMemory.SetTag(first, second);
    } else if (command == u"get") {
        return QStringLiteral("ok ") + FMemory.TagText(rest);
    } else if (command == u"poke") {
        const auto [area, address] = AreaAddress(first);
        FMemory.Write(area, address, HexBytes(second));
    } else if (command == u"peek") {
        const auto [area, address] = AreaAddress(first);
        const int count = Count(second, command, TEPSNETRam::RamSize);
        return (QStringLiteral("ok ") + FMemory.Read(area, address, count).toHex(' ').toUpper()).trimmed();
    } else if (command == u"load") {
        FMemory.LoadPubFile(rest);
        return QStringLiteral("ok %1 tags").arg(FMemory.TagCount());
    } else if (command == u"drop") {
        FFaults.DropAnswers = Count(rest, command);
    } else if (command == u"short") {
        FFaults.ShortAnswers = Count(rest, command);
    } else if (command == u"wrongid") {
        FFaults.WrongIdAnswers = Count(rest, command);
    } else if (command == u"delay") {
        if (second.isEmpty())
            throw Exception(QStringLiteral("delay needs milliseconds and a count, like delay 500 1"));
        const int delay = Count(first, QStringLiteral("delay MS"), MaxDelay);
        FFaults.DelayedAnswers = Count(second, command);
        FFaults.DelayMs = delay;
    } else if (command == u"badfcs") {
        FFaults.BadChecksumAnswers = Count(rest, command);
    } else if (command == u"badstation") {
        FFaults.BadStationAnswers = Count(rest, command);
    } else if (command == u"badlen") {
        FFaults.BadLengthAnswers = Count(rest, command);
    } else if (command == u"foreign") {
        if (!second.isEmpty() && QHostAddress(second).isNull())
            throw Exception(QStringLiteral("foreign needs a count and maybe an IP address, not \"%1\"").arg(second));
        FFaults.ForeignAnswers = Count(first, command);
        FFaults.ForeignAddress = second;
    } else if (command == u"duplicate") {
        FFaults.DuplicatedAnswers = Count(rest, command);
    } else if (command == u"junk") {
        FFaults.JunkAnswers = Count(rest, command);
    } else if (command == u"trickle") {
        if (!FSlave.ServesTcp() && !FSlave.ServesSerial())
            throw Exception(QStringLiteral("trickle applies to TCP and serial lines; this simulator serves neither"));
        FFaults.TrickledAnswers = Count(rest, command);
    } else if (command == u"reset" && !rest.isEmpty()) {
        if (!FSlave.ServesTcp())
            throw Exception(QStringLiteral("reset N applies to TCP connections; this simulator serves none"));
        FFaults.ResetAnswers = Count(rest, command);
    } else if (command == u"close") {
        return QStringLiteral("ok %1 closed").arg(FSlave.CloseTcpConnections());
    } else if (command == u"serial-close") {
        FSlave.UnplugSerial(Count(rest, command, MaxDelay));
    } else if (command == u"pub") {
        const TPubMode mode = PubMode(first);
        if (mode == TPubMode::Huge) {
            bool ok = false;
            const qint64 size = second.toLongLong(&ok);
            if (!ok || size < 1 || size > MaxHugeSize)
                throw Exception(QStringLiteral("pub huge needs a size from 1 to %1 bytes").arg(MaxHugeSize));
            FFaults.HugeSize = size;
        }
        if (mode == TPubMode::File)
            FFaults.FileBody = FileBody(second);
        FFaults.PubMode = mode;
    } else if (command == u"http-delay") {
        FFaults.HttpDelay = Count(rest, command, MaxDelay);
    } else if (command == u"http") {
        if (!FWeb)
            throw Exception(QStringLiteral("the web server is not running"));
        if (rest != u"on" && rest != u"off")
            throw Exception(QStringLiteral("http needs on or off"));
        FWeb->SetRefusing(rest == u"off");
    } else if (command == u"reset") {
        FFaults.Reset();
        if (FWeb)
            FWeb->SetRefusing(false);
    } else if (command == u"stats") {
        return FCounters.Format();
    } else if (command == u"quit") {
        FQuit();
    }
    return QStringLiteral("ok");
}
