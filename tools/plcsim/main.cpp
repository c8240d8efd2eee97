// vocator-plcsim: a PLC for Vocator to talk to, for tests, benchmarks and the demo. An EPSNET
// slave on UDP, TCP and a serial line (a pty) and the PLC's web server with its login, over
// memory laid out by a PUB file, with faults to switch on from standard input or a timed script.
//
// The whole simulator runs on one thread in Qt's event loop: sockets, standard input, the
// script's timer and the termination signals are all events, so no state needs a lock.

#include "Commands.h"
#include "Console.h"
#include "Memory.h"
#include "Options.h"
#include "Script.h"
#include "Slave.h"
#include "WebServer.h"
#include "platform/Exceptions.h"
#include "platform/TerminationSignals.h"
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <memory>

namespace {

constexpr int ExitUsage = 2;

QString Endpoint(const QString& name, const QHostAddress& address, quint16 port)
{
    return QStringLiteral(" %1=%2:%3").arg(name, address.toString()).arg(port);
}

// Everything the simulator is made of, in the order it is built.
struct TSimulator {
    explicit TSimulator(const TSimOptions& options)
        : CodePage(options.CodePage), Memory(CodePage)
    {
        if (!options.PubFile.isEmpty())
            Memory.LoadPubFile(options.PubFile);
        Slave = std::make_unique<TSimSlave>(Memory, Faults, Counters, std::uint8_t(options.Station), options.Verbose);
        if (options.UdpPort)
            Slave->ListenUdp(options.Address, *options.UdpPort);
        if (options.TcpPort)
            Slave->ListenTcp(options.Address, *options.TcpPort);
        if (!options.SerialLink.isEmpty())
            Slave->OpenSerial(options.SerialLink);
        if (options.HttpPort) {
            Web = std::make_unique<TSimWebServer>(Memory, Faults, Counters, CodePage, options.Web, options.Verbose);
            Web->Listen(options.Address, *options.HttpPort);
        }
        Commands = std::make_unique<TSimCommands>(Memory, Faults, Counters, *Slave, Web.get(), [] { QCoreApplication::quit(); });
        for (const QString& set : options.Sets) {
            const qsizetype equals = set.indexOf(QLatin1Char('='));
            Memory.SetTag(set.left(equals), set.mid(equals + 1));
        }
        if (!options.Script.isEmpty())
            Script = std::make_unique<TSimScript>(TSimScript::Load(options.Script), *Commands);
        Console = std::make_unique<TSimConsole>(*Commands);
    }

    QString ReadyLine(const TSimOptions& options) const
    {
        QString line = QStringLiteral("vocator-plcsim ready:");
        if (options.UdpPort)
            line += Endpoint(QStringLiteral("udp"), options.Address, Slave->UdpPort());
        if (options.TcpPort)
            line += Endpoint(QStringLiteral("tcp"), options.Address, Slave->TcpPort());
        if (Web)
            line += Endpoint(QStringLiteral("http"), options.Address, Web->Port());
        if (!options.SerialLink.isEmpty())
            line += QStringLiteral(" serial=") + options.SerialLink;
        return line + QStringLiteral(" tags=%1").arg(Memory.TagCount());
    }

    TCodePage CodePage;
    TSimMemory Memory;
    TSimFaults Faults;
    TSimCounters Counters;
    std::unique_ptr<TSimSlave> Slave;
    std::unique_ptr<TSimWebServer> Web;
    std::unique_ptr<TSimCommands> Commands;
    std::unique_ptr<TSimScript> Script;
    std::unique_ptr<TSimConsole> Console;
};

} // namespace

int main(int argc, char** argv)
{
    // Qt's own event dispatcher: it costs less per wake-up than GLib's main loop, and the
    // simulator wakes up once for every request of a polling master.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vocator-plcsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VOCATOR_PLCSIM_VERSION));
    std::unique_ptr<TSimulator> simulator;
    TSimOptions options;
    try {
        options = ParseOptions(QCoreApplication::arguments());
        simulator = std::make_unique<TSimulator>(options);
    } catch (const Exception& error) {
        std::fprintf(stderr, "vocator-plcsim: %s\n", qPrintable(error.Message()));
        return ExitUsage;
    }
    TTerminationSignals termination([](int) { QCoreApplication::quit(); });
    PrintLine(simulator->ReadyLine(options));
    if (simulator->Script)
        simulator->Script->Start();
    const int status = QCoreApplication::exec();
    PrintLine(simulator->Counters.Format());
    return status;
}
