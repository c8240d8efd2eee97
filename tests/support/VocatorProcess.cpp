#include "VocatorProcess.h"
#include "RecordedRuns.h"
#include <QFile>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

TVocatorProcess::TVocatorProcess() : FProgram(FDir.File(QStringLiteral("vocator")))
{
    if (!QFile::copy(QStringLiteral(VOCATOR_PATH), FProgram))
        throw std::runtime_error("cannot copy vocator into the test's folder");
    QFile::setPermissions(FProgram, QFile::permissions(QStringLiteral(VOCATOR_PATH)));
    FProcess.setWorkingDirectory(FDir.Path());
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FEnvironment = QProcessEnvironment::systemEnvironment();
    FEnvironment.insert(QStringLiteral("RECORD_FILE"), FDir.File(QStringLiteral("runs.txt")));
    // Windowless, whatever the machine running the tests has.
    FEnvironment.remove(QStringLiteral("DISPLAY"));
    FEnvironment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    FEnvironment.remove(QStringLiteral("QT_QPA_PLATFORM"));
}

TVocatorProcess::~TVocatorProcess()
{
    if (Running()) {
        FProcess.kill();
        FProcess.waitForFinished();
    }
}

void TVocatorProcess::SetEnvironment(const QString& name, const QString& value) { FEnvironment.insert(name, value); }

void TVocatorProcess::WriteIni(const QByteArray& text) const { WriteFileBytes(FDir.File(QStringLiteral("vocator.ini")), text); }

bool TVocatorProcess::Start(const QStringList& arguments)
{
    FProcess.setProcessEnvironment(FEnvironment);
    FProcess.start(FProgram, arguments);
    return FProcess.waitForStarted();
}

bool TVocatorProcess::Stop(int timeOut)
{
    FProcess.terminate();
    if (!FProcess.waitForFinished(timeOut))
        return false;
    Output(); // what it printed last stays readable
    return FProcess.exitStatus() == QProcess::NormalExit && FProcess.exitCode() == 0;
}

QStringList TVocatorProcess::Spoken() const
{
    QStringList texts;
    for (const QStringList& run : ReadRecordedRuns(FDir.File(QStringLiteral("runs.txt"))))
        texts << run.value(1);
    return texts;
}

bool TVocatorProcess::WaitForSpoken(qsizetype count, int timeOut) const
{
    return WaitUntil([&] { return Spoken().size() >= count; }, timeOut);
}

QString TVocatorProcess::Log() const { return QString::fromUtf8(ReadFileBytes(FDir.File(QStringLiteral("vocator.log")))); }

QString TVocatorProcess::Output()
{
    FOutput += QString::fromUtf8(FProcess.readAllStandardOutput());
    return FOutput;
}

QString LineName(TLine line) { return line == TLine::Udp ? QStringLiteral("Udp") : QStringLiteral("Tcp"); }

// ---- TPlcWithVocator ----

namespace {

// A port that was free a moment ago on the address; the simulator takes it when it starts.
quint16 FreePort(const QString& address, int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.toLatin1().constData(), &local.sin_addr);
    socklen_t size = sizeof local;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0)
        port = ntohs(local.sin_port);
    if (fd >= 0)
        ::close(fd);
    if (port == 0)
        throw std::runtime_error("no free port on " + address.toStdString());
    return port;
}

} // namespace

TPlcWithVocator::TPlcWithVocator(TLine line, const QByteArray& pubText) : Line(line)
{
    WriteFileBytes(Vocator.Dir().File(QStringLiteral("var.pub")), pubText);
}

QString TPlcWithVocator::DeviceName() const
{
    return QStringLiteral("%1:%2:%3").arg(Udp() ? QStringLiteral("UDP") : QStringLiteral("TCP"), SimAddress).arg(LinePort);
}

void TPlcWithVocator::ReserveAddress()
{
    SimAddress = TSimProcess::NextAddress();
    LinePort = FreePort(SimAddress, Udp() ? SOCK_DGRAM : SOCK_STREAM);
    HttpPort = FreePort(SimAddress, SOCK_STREAM);
}

void TPlcWithVocator::StartSim(const QStringList& extra)
{
    QStringList arguments{QStringLiteral("--pub"), Vocator.Dir().File(QStringLiteral("var.pub")), QStringLiteral("--password"),
                          QStringLiteral("heslo"), QStringLiteral("--code-page"), QStringLiteral("windows-1250")};
    Sim.reset(); // a simulator that still runs frees its ports first
    if (!SimAddress.isEmpty()) {
        arguments << QStringLiteral("--") + Service() << QString::number(LinePort) << QStringLiteral("--http") << QString::number(HttpPort);
        Sim = std::make_unique<TSimProcess>(SimAddress, arguments + extra);
        return;
    }
    arguments << QStringLiteral("--") + Service() << QStringLiteral("0") << QStringLiteral("--http") << QStringLiteral("0");
    Sim = std::make_unique<TSimProcess>(arguments + extra);
    SimAddress = Sim->Address();
    LinePort = Sim->Port(Service());
    HttpPort = Sim->Port(QStringLiteral("http"));
}

QByteArray TPlcWithVocator::Ini(const QString& welcome, const QString& messageTag, int timer, const QString& extraPlc) const
{
    const QString ini = QStringLiteral("[common]\ntimer=%1\nSlowTimer=%1\nWelcomeMsg=%2\n"
                                       "[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\nTag_Message=%3\n"
                                       "[PLC]\nDeviceName=%4\nHttpPort=%5\nPassword=heslo\nCodePage=windows-1250\n"
                                       "LoggingToFile=1\nLoggingToFileOptions=lgConnect,lgDisconnect,lgErrorLevel1\n%6")
                            .arg(timer)
                            .arg(welcome, messageTag, DeviceName())
                            .arg(HttpPort)
                            .arg(extraPlc);
    return ini.toUtf8();
}

void TPlcWithVocator::StartVocator(const QString& welcome, const QString& messageTag, int timer, const QString& extraPlc)
{
    Vocator.WriteIni(Ini(welcome, messageTag, timer, extraPlc));
    if (!Vocator.Start())
        throw std::runtime_error("vocator did not start");
}

bool TPlcWithVocator::Set(const QString& tag, const QString& value)
{
    return Sim->Command(QStringLiteral("set ") + tag + QLatin1Char(' ') + value) == u"ok";
}

qint64 TPlcWithVocator::Reads() { return Counter(Sim->Command(QStringLiteral("stats")), QStringLiteral("read-frames")); }

bool TPlcWithVocator::WaitForReads(int timeOut)
{
    const qint64 target = Reads() + 2;
    return WaitUntil([&] { return Reads() >= target; }, timeOut);
}

qsizetype TPlcWithVocator::Downloads() const { return Vocator.Log().count(QStringLiteral("\tvar.pub downloaded\r\n")); }

} // namespace TestSupport
