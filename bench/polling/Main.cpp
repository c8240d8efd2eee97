// vocator-bench-polling: request/response rates on loopback, one request in flight, all measured
// in one run so that their ratios hold on whatever machine runs it.
#include "BareLoop.h"
#include "MasterLoop.h"
#include "ModbusLoop.h"
#include "PeerLoop.h"
#include "errorsystem/ErrorSystem.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <sched.h>

namespace {

void PrintRates(const TRates& rates)
{
    if (!rates.Error.isEmpty()) {
        std::printf("%-24s not measured: %s\n", qPrintable(rates.Name), qPrintable(rates.Error));
        return;
    }
    std::printf("%-24s %9.0f %9.0f %9.0f   %7.1f\n", qPrintable(rates.Name), rates.Min(), rates.Median(), rates.Max(),
                rates.Median() > 0 ? 1e6 / rates.Median() : 0.0);
}

// The ratio of two medians with the goal it is held against; goal 0 prints no verdict.
void PrintRatio(const char* name, const TRates& ours, const TRates& other, double goal)
{
    if (!ours.Error.isEmpty() || !other.Error.isEmpty() || other.Median() <= 0) {
        std::printf("  %-18s -\n", name);
        return;
    }
    const double ratio = ours.Median() / other.Median();
    if (goal > 0)
        std::printf("  %-18s %5.2f   goal >= %.2f: %s\n", name, ratio, goal, ratio >= goal ? "met" : "MISSED");
    else
        std::printf("  %-18s %5.2f\n", name, ratio);
}

double Micros(const TRates& rates) { return rates.Median() > 0 ? 1e6 / rates.Median() : 0.0; }

// Our master's time per request split into the bare exchange, the hand-over, what the simulator
// costs beyond a bare server, and the rest, which is the master's own.
void PrintShares(const char* transport, const TRates& bare, const TRates& handOver, const TRates& peer, const TRates& ours)
{
    for (const TRates* rates : {&bare, &handOver, &peer, &ours})
        if (!rates->Error.isEmpty() || rates->Median() <= 0) {
            std::printf("  %s -\n", transport);
            return;
        }
    const double exchange = Micros(bare);
    const double handOff = Micros(handOver) - exchange;
    const double simulator = Micros(peer) - exchange;
    std::printf("  %s %5.1f = exchange %.1f + hand-over %.1f + simulator beyond a bare server %.1f + our master's own %.1f\n", transport,
                Micros(ours), exchange, handOff, simulator, Micros(ours) - exchange - handOff - simulator);
}

QString Processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return QStringLiteral("?");
    QStringList cpus;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set))
            cpus << QString::number(i);
    return cpus.join(u',');
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vocator-bench-polling"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Polling rates on loopback: bare sockets, with a Qt hand-over, libmodbus, our master."));
    parser.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Length of one repetition (default 1)."), QStringLiteral("s"), QStringLiteral("1"));
    const QCommandLineOption repetitions(QStringLiteral("repetitions"), QStringLiteral("Repetitions of each measurement (default 5)."),
                                         QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption only(QStringLiteral("only"), QStringLiteral("Measure only a, a2, b, c or s (for profiling)."), QStringLiteral("which"));
    parser.addOptions({seconds, repetitions, only});
    parser.process(app);
    TTiming timing;
    timing.Seconds = std::max(0.1, parser.value(seconds).toDouble());
    timing.Repetitions = std::max(1, parser.value(repetitions).toInt());

    // The log goes to a folder of its own, never beside the benchmark.
    QTemporaryDir logDir;
    TLogSystemScope logSystem;
    SetDefaultFileName(logDir.filePath(QStringLiteral("bench.log")));

    std::printf("vocator-bench-polling: %d repetitions of %.1f s each, one request in flight, loopback; processors %s of %d\n",
                timing.Repetitions, timing.Seconds, qPrintable(Processors()), QThread::idealThreadCount());
    std::printf("%-24s %9s %9s %9s   %7s\n", "", "req/s min", "median", "max", "us/req");
    std::fflush(stdout);

    // Each peer gets a loopback address of its own.
    const QString chosen = parser.value(only);
    const auto measure = [&chosen](const char* key, const auto& run) {
        if (!chosen.isEmpty() && chosen != QLatin1String(key))
            return TRates{QString(), {}, QStringLiteral("skipped")};
        TRates rates = run();
        PrintRates(rates);
        std::fflush(stdout);
        return rates;
    };
    const TRates bareUdp = measure("a", [&] { return MeasureBareLoop(true, false, "127.0.0.71", timing); });
    const TRates bareTcp = measure("a", [&] { return MeasureBareLoop(false, false, "127.0.0.71", timing); });
    const TRates handOverUdp = measure("a2", [&] { return MeasureBareLoop(true, true, "127.0.0.72", timing); });
    const TRates handOverTcp = measure("a2", [&] { return MeasureBareLoop(false, true, "127.0.0.72", timing); });
    const TRates modbus = measure("b", [&] { return MeasureModbusLoop("127.0.0.73", timing); });
    if (chosen.isEmpty() || chosen == QLatin1String("b"))
        std::printf("%-24s no UDP transport in libmodbus\n", "(b)  libmodbus UDP");
    const TRates masterUdp = measure("c", [&] { return MeasureMasterLoop(true, "127.0.0.74", timing); });
    const TRates masterTcp = measure("c", [&] { return MeasureMasterLoop(false, "127.0.0.75", timing); });
    const TRates peerUdp = measure("s", [&] { return MeasureSimulatorPeer(true, "127.0.0.76", timing); });
    const TRates peerTcp = measure("s", [&] { return MeasureSimulatorPeer(false, "127.0.0.76", timing); });

    std::printf("ratios of the medians:\n");
    PrintRatio("(c)/(a)   UDP", masterUdp, bareUdp, 0);
    PrintRatio("(c)/(a)   TCP", masterTcp, bareTcp, 0);
    PrintRatio("(c)/(a2)  UDP", masterUdp, handOverUdp, 0.85);
    PrintRatio("(c)/(a2)  TCP", masterTcp, handOverTcp, 0);
    PrintRatio("(c)/(b)   UDP", masterUdp, modbus, 1.0);
    PrintRatio("(c)/(b)   TCP", masterTcp, modbus, 1.0);
    PrintRatio("(c)/(s)   UDP", masterUdp, peerUdp, 0);
    PrintRatio("(c)/(s)   TCP", masterTcp, peerTcp, 0);
    // No design that hands every answer to the main thread gets past this against libmodbus.
    PrintRatio("(a2)/(b)  UDP", handOverUdp, modbus, 0);
    PrintRatio("(a2)/(b)  TCP", handOverTcp, modbus, 0);
    std::printf("microseconds per request of our master, from the medians:\n");
    PrintShares("UDP", bareUdp, handOverUdp, peerUdp, masterUdp);
    PrintShares("TCP", bareTcp, handOverTcp, peerTcp, masterTcp);
    for (const TRates* rates : {&bareUdp, &bareTcp, &handOverUdp, &handOverTcp, &modbus, &masterUdp, &masterTcp, &peerUdp, &peerTcp})
        if (!rates->Error.isEmpty() && rates->Error != QLatin1String("skipped"))
            return 1;
    return 0;
}
