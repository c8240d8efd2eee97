#include "app/PlcLoopbackCheck.h"
#include "epsnet/kxEPSNET_component.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

namespace {

constexpr int SimulatorReadyTimeoutMs = 10000;
constexpr int ExchangeTimeoutMs = 20000;
const QString SimulatorAddress = QStringLiteral("127.0.0.1");
const QString ProbeTag = QStringLiteral("SelfTestText");
const QString ProbeValue = QStringLiteral("loopback");

// A message string between two other tags, as a PLC's PUB file lists them.
QByteArray ProbePubFile()
{
    return "SelfTestCounter R W 0 INT\r\n"
           "SelfTestText R B 2 STRING[16]\r\n"
           "SelfTestLamp X B 0 .0 BOOL\r\n";
}

// The simulator as a child on ephemeral ports; its ready line names the ports it got.
class TSimulatorChild {
public:
    TSimulatorChild(const QString& program, const QString& pubFile)
    {
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        FProcess.start(program, {QStringLiteral("--address"), SimulatorAddress, QStringLiteral("--udp"), QStringLiteral("0"),
                                 QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--http"), QStringLiteral("0"),
                                 QStringLiteral("--pub"), pubFile, QStringLiteral("--set"), ProbeTag + u'=' + ProbeValue});
    }
    ~TSimulatorChild()
    {
        FProcess.terminate();
        if (!FProcess.waitForFinished(5000)) {
            FProcess.kill();
            FProcess.waitForFinished(5000);
        }
    }
    TSimulatorChild(const TSimulatorChild&) = delete;
    TSimulatorChild& operator=(const TSimulatorChild&) = delete;

    // The ready line, or what the simulator said instead (empty when it said nothing in time).
    QString WaitUntilReady()
    {
        const QDeadlineTimer deadline(SimulatorReadyTimeoutMs);
        while (!FProcess.canReadLine() && FProcess.state() != QProcess::NotRunning && !deadline.hasExpired())
            FProcess.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        const QString line = QString::fromLocal8Bit(FProcess.canReadLine() ? FProcess.readLine() : FProcess.readAll()).trimmed();
        FReady = line.startsWith(QStringLiteral("vocator-plcsim ready:"));
        FReadyLine = line;
        return line;
    }
    bool Ready() const { return FReady; }
    // The port of "udp", "tcp" or "http" from the ready line; 0 when it names none.
    int Port(const QString& service) const
    {
        const QRegularExpression pattern(service + QStringLiteral("=[0-9.]+:([0-9]+)"));
        return pattern.match(FReadyLine).captured(1).toInt();
    }

private:
    QProcess FProcess;
    QString FReadyLine;
    bool FReady = false;
};

// A master against the simulator with the data module's handling: each load re-plans the reads,
// each answer is looked at for the probe's value.
TCheckResult ExchangeWithSimulator(const QString& line, int linePort, int httpPort)
{
    TkxEPSNETMaster master(nullptr);
    const QString device = QStringLiteral("%1:%2:%3").arg(line, SimulatorAddress).arg(linePort);
    master.SetDeviceName(device);
    master.SetHttpPort(httpPort);
    bool loaded = false;
    QString value;
    master.SetOnPubFileLoaded([&](IComEventSender*) {
        master.GetComThread()->RList()->Clear();
        master.AddAllTagToRList();
        loaded = true;
    });
    master.OnReceivePacket = [&](IComEventSender*, TDataPacket*) { value = master.TagList().GetAsString(ProbeTag); };
    master.Open();

    const QDeadlineTimer deadline(ExchangeTimeoutMs);
    QTimer heartbeat; // wakes the wait when the simulator stays silent
    heartbeat.start(100);
    ProcessEventsUntil([&] { return value == ProbeValue || deadline.hasExpired(); });
    master.Close();

    if (value == ProbeValue)
        return {TCheckResult::csPassed, QStringLiteral("%1: PUB file loaded, %2 read back").arg(device, ProbeTag)};
    if (!loaded)
        return {TCheckResult::csFailed, QStringLiteral("%1: no PUB file loaded within %2 s").arg(device).arg(ExchangeTimeoutMs / 1000)};
    return {TCheckResult::csFailed,
            QStringLiteral("%1: %2 read as \"%3\" instead of \"%4\"").arg(device, ProbeTag, value, ProbeValue)};
}

} // namespace

TCheckResult CheckPlcLoopback(const QString& line)
{
    const QString program = ExecutableDir() + QStringLiteral("/vocator-plcsim");
    if (!QFileInfo(program).isExecutable())
        return {TCheckResult::csSkipped, QStringLiteral("no simulator at ") + program};
    QTemporaryDir folder;
    const QString pubFile = folder.filePath(QStringLiteral("var.pub"));
    QFile file(pubFile);
    if (!folder.isValid() || !file.open(QIODevice::WriteOnly) || file.write(ProbePubFile()) != ProbePubFile().size())
        return {TCheckResult::csFailed, QStringLiteral("cannot write a PUB file into the temporary folder")};
    file.close();

    TSimulatorChild simulator(program, pubFile);
    const QString said = simulator.WaitUntilReady();
    if (!simulator.Ready())
        return {TCheckResult::csFailed, QStringLiteral("the simulator did not become ready: ") + (said.isEmpty() ? QStringLiteral("no answer") : said)};
    return ExchangeWithSimulator(line, simulator.Port(line.toLower()), simulator.Port(QStringLiteral("http")));
}
