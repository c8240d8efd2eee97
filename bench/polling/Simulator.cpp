#include "Simulator.h"
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

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

TSimulator::TSimulator(const char* address)
{
    const QString pubFile = FDir.filePath(QStringLiteral("var.pub"));
    QFile file(pubFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(PubFileOf246Bytes()) < 0)
        return;
    file.close();
    // VOCATOR_PLCSIM names another simulator build, so that two builds of the master can be
    // compared against the same simulator.
    const QString program = qEnvironmentVariable("VOCATOR_PLCSIM", QStringLiteral(PLCSIM_PATH));
    FProcess.setProgram(program);
    FProcess.setArguments({"--address", address, "--udp", "0", "--tcp", "0", "--http", "0", "--pub", pubFile, "--set",
                           "Msg=Line 3 stopped"});
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start();
    if (!FProcess.waitForStarted(10000))
        return;
    QElapsedTimer waited;
    waited.start();
    while (!FProcess.canReadLine() && FProcess.state() == QProcess::Running && waited.elapsed() < 10000)
        FProcess.waitForReadyRead(1000);
    FReadyLine = QString::fromUtf8(FProcess.readLine()).trimmed();
}

TSimulator::~TSimulator()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
}

QString TSimulator::Error() const
{
    return QStringLiteral("vocator-plcsim did not become ready (%1)").arg(FReadyLine.isEmpty() ? FProcess.errorString() : FReadyLine);
}

QString TSimulator::Port(const QString& service) const
{
    return QRegularExpression(service + QStringLiteral("=[0-9.]+:([0-9]+)")).match(FReadyLine).captured(1);
}
