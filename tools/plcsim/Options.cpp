#include "Options.h"
#include "Commands.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include <QCommandLineParser>

namespace {

std::optional<quint16> Port(const QCommandLineParser& parser, const QString& name)
{
    if (!parser.isSet(name))
        return std::nullopt;
    bool ok = false;
    const uint port = parser.value(name).toUInt(&ok);
    if (!ok || port > 65535)
        throw Exception(QStringLiteral("--%1 needs a port from 0 to 65535, not \"%2\"").arg(name, parser.value(name)));
    return quint16(port);
}

} // namespace

TSimOptions ParseOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A PLC for Vocator to talk to: an EPSNET slave on UDP, TCP and a serial line and the PLC's web server,\n"
                       "with memory laid out by a PUB file. Prints \"vocator-plcsim ready: ...\" when it serves\n"
                       "and its counters at exit. Commands on standard input and in the script:\n") +
        TSimCommands::HelpText());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("address"), QStringLiteral("Address to serve on (default 127.0.0.1)."), QStringLiteral("ip")},
        {QStringLiteral("udp"), QStringLiteral("Serve EPSNET over UDP on this port."), QStringLiteral("port")},
        {QStringLiteral("tcp"), QStringLiteral("Serve EPSNET over TCP on this port."), QStringLiteral("port")},
        {QStringLiteral("http"), QStringLiteral("Serve the web server on this port."), QStringLiteral("port")},
        {QStringLiteral("serial"), QStringLiteral("Serve EPSNET on a pty, reached through this symbolic link."), QStringLiteral("link")},
        {QStringLiteral("pub"), QStringLiteral("PUB file: the memory layout and the file served."), QStringLiteral("file")},
        {QStringLiteral("pub-name"), QStringLiteral("Path of the PUB file on the web server (default var.pub)."), QStringLiteral("name")},
        {QStringLiteral("password"), QStringLiteral("Password of the login (default empty)."), QStringLiteral("text")},
        {QStringLiteral("user"), QStringLiteral("User of the login; checked only when given."), QStringLiteral("name")},
        {QStringLiteral("station"), QStringLiteral("Own EPSNET address, 0 to 255 (default 0)."), QStringLiteral("n")},
        {QStringLiteral("code-page"), QStringLiteral("Code page of the PLC's texts (default: the locale's)."), QStringLiteral("name")},
        {QStringLiteral("set"), QStringLiteral("Initial value of a tag; may be repeated."), QStringLiteral("tag=value")},
        {QStringLiteral("script"), QStringLiteral("Timed script: lines of milliseconds and a command."), QStringLiteral("file")},
        {QStringLiteral("verbose"), QStringLiteral("Print every frame and HTTP request on standard error.")},
    };
    parser.addOptions(options);
    if (!parser.parse(arguments))
        throw Exception(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(); // exits
    if (parser.isSet(version))
        parser.showVersion(); // exits
    if (!parser.positionalArguments().isEmpty())
        throw Exception(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    TSimOptions result;
    if (parser.isSet(QStringLiteral("address")) && !result.Address.setAddress(parser.value(QStringLiteral("address"))))
        throw Exception(QStringLiteral("--address needs an IP address, not \"%1\"").arg(parser.value(QStringLiteral("address"))));
    result.UdpPort = Port(parser, QStringLiteral("udp"));
    result.TcpPort = Port(parser, QStringLiteral("tcp"));
    result.HttpPort = Port(parser, QStringLiteral("http"));
    result.SerialLink = parser.value(QStringLiteral("serial"));
    if (parser.isSet(QStringLiteral("serial")) && result.SerialLink.isEmpty())
        throw Exception(QStringLiteral("--serial needs the name of a link"));
    if (!result.UdpPort && !result.TcpPort && !result.HttpPort && result.SerialLink.isEmpty())
        throw Exception(QStringLiteral("nothing to serve: give --udp, --tcp, --serial or --http"));
    result.PubFile = parser.value(QStringLiteral("pub"));
    if (parser.isSet(QStringLiteral("pub-name")))
        result.Web.PubName = parser.value(QStringLiteral("pub-name"));
    result.Web.Password = parser.value(QStringLiteral("password"));
    if (parser.isSet(QStringLiteral("user")))
        result.Web.User = parser.value(QStringLiteral("user"));
    if (parser.isSet(QStringLiteral("station"))) {
        bool ok = false;
        result.Station = parser.value(QStringLiteral("station")).toInt(&ok);
        if (!ok || result.Station < 0 || result.Station > 255)
            throw Exception(QStringLiteral("--station needs a number from 0 to 255"));
    }
    result.CodePage = parser.value(QStringLiteral("code-page"));
    if (!result.CodePage.isEmpty() && !TCodePage::IsKnown(result.CodePage))
        throw Exception(QStringLiteral("unknown code page \"%1\"").arg(result.CodePage));
    result.Sets = parser.values(QStringLiteral("set"));
    for (const QString& set : std::as_const(result.Sets))
        if (set.indexOf(QLatin1Char('=')) <= 0)
            throw Exception(QStringLiteral("--set needs tag=value, not \"%1\"").arg(set));
    result.Script = parser.value(QStringLiteral("script"));
    result.Verbose = parser.isSet(QStringLiteral("verbose"));
    return result;
}
