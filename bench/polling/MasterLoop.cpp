#include "MasterLoop.h"
#include "Simulator.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include <QElapsedTimer>

namespace {

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
    TSimulator simulator(address);
    if (!simulator.Ready()) {
        result.Error = simulator.Error();
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
