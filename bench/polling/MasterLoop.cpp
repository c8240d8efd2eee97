#include "MasterLoop.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

// Tags of every type from byte 0 to byte 245 of area R: one planned read of 246 bytes.
QByteArray PubFileOf246Bytes()
{
    QByteArray pub = "Msg R B 0 STRING[80] ;text for the speaker\r\n"
                     "Flags R B 81 .0 BOOL ;pump on\r\n"
                     "Level R B 82 SINT\r\n"
                     "Mode R B 83 MODE\r\n"
                     "Speed R B 84 REAL\r\n"
                     "Flow R B 88 LREAL\r\n"
                     "Stamp R B 96 DT\r\n"
                     "Uptime R B 104 TIME\r\n"
                     "Total R B 108 UDINT\r\n";
    int address = 112;
    for (int i = 0; address + 2 <= 242; ++i, address += 2)
        pub += QStringLiteral("Counter%1 R W %2 %3\r\n").arg(i).arg(address).arg(i % 2 ? "UINT" : "INT").toLatin1();
    pub += "Last R B 242 DINT ;end of the block\r\n";
    return pub;
}

// vocator-plcsim as a child process; its ports come from its ready line.
class TSimulator {
public:
    TSimulator(const char* address, const QString& pubFile)
    {
        FProcess.setProgram(QStringLiteral(PLCSIM_PATH));
        FProcess.setArguments({"--address", address, "--udp", "0", "--tcp", "0", "--http", "0", "--pub", pubFile, "--set",
                               "Msg=Line 3 stopped"});
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FProcess.start();
        QElapsedTimer waited;
        waited.start();
        while (FProcess.waitForStarted(10000) && !FProcess.canReadLine() && waited.elapsed() < 10000)
            FProcess.waitForReadyRead(1000);
        FReadyLine = QString::fromUtf8(FProcess.readLine()).trimmed();
    }

    ~TSimulator()
    {
        FProcess.terminate();
        if (!FProcess.waitForFinished(5000)) {
            FProcess.kill();
            FProcess.waitForFinished(5000);
        }
    }

    bool Ready() const { return FReadyLine.startsWith(QStringLiteral("vocator-plcsim ready:")); }
    QString Port(const QString& service) const
    {
        return QRegularExpression(service + QStringLiteral("=[0-9.]+:([0-9]+)")).match(FReadyLine).captured(1);
    }

private:
    QProcess FProcess;
    QString FReadyLine;
};

// The planned reads as "R0/246 X0/1".
QString PlannedRequests(TkxEPSNETMaster& master)
{
    QStringList requests;
    auto list = master.GetComThread()->RList()->LockList();
    for (int i = 0; i < list.Count(); ++i) {
        const auto* packet = static_cast<const TEPSNETPacket*>(list.Items(i)->Request.get());
        requests << QStringLiteral("%1%2/%3").arg(AreaToChar(packet->Area)).arg(packet->Address).arg(packet->Length);
    }
    return requests.join(u' ');
}

} // namespace

TRates MeasureMasterLoop(bool udp, const char* address, const TTiming& timing)
{
    TRates result;
    result.Name = QStringLiteral("(c)  our master %1").arg(udp ? "UDP" : "TCP");
    QTemporaryDir dir;
    const QString pubFile = dir.filePath(QStringLiteral("var.pub"));
    QFile file(pubFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(PubFileOf246Bytes()) < 0) {
        result.Error = QStringLiteral("cannot write %1").arg(pubFile);
        return result;
    }
    file.close();
    TSimulator simulator(address, pubFile);
    if (!simulator.Ready()) {
        result.Error = QStringLiteral("vocator-plcsim did not become ready");
        return result;
    }

    TkxEPSNETMaster master(nullptr);
    master.SetDeviceName(QStringLiteral("%1:%2:%3").arg(udp ? "UDP" : "TCP", address, simulator.Port(udp ? "udp" : "tcp")));
    master.SetHttpPort(simulator.Port(QStringLiteral("http")).toInt());
    master.SetEnableLogging(false);
    master.SetEnableLoggingToFile(false);
    // The data module's handlers: every load re-plans the reads, every answer reads the message.
    master.SetOnPubFileLoaded([&master](IComEventSender*) {
        master.GetComThread()->RList()->Clear();
        master.AddAllTagToRList();
    });
    long answers = 0;
    QString message;
    master.OnReceivePacket = [&](IComEventSender*, TDataPacket*) {
        ++answers;
        message = master.TagList().GetAsString(QStringLiteral("Msg"));
    };
    master.Open();

    QElapsedTimer waited;
    waited.start();
    while (answers == 0 && waited.elapsed() < 20000)
        ServeEventsFor(0.05);
    if (answers == 0) {
        result.Error = QStringLiteral("no answer from vocator-plcsim");
        master.Close();
        return result;
    }
    const QString planned = PlannedRequests(master);
    if (planned != QStringLiteral("R0/246") || message != QStringLiteral("Line 3 stopped")) {
        result.Error = QStringLiteral("unexpected plan \"%1\" or message \"%2\"").arg(planned, message);
        master.Close();
        return result;
    }

    ServeEventsFor(timing.WarmUp);
    for (int i = 0; i < timing.Repetitions; ++i) {
        const long before = answers;
        const double seconds = ServeEventsFor(timing.Seconds);
        result.PerSecond.push_back(double(answers - before) / seconds);
    }
    master.Close();
    return result;
}
