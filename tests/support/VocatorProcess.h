#pragma once
#include "SimProcess.h"
#include "TestSupport.h"
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

namespace TestSupport {

// The built vocator copied into a fresh folder, so that its ini and log files are the test's own,
// run windowless with the record_args fixture as its speech program (RECORD_FILE in its folder).
class TVocatorProcess {
public:
    TVocatorProcess();
    ~TVocatorProcess();
    TVocatorProcess(const TVocatorProcess&) = delete;
    TVocatorProcess& operator=(const TVocatorProcess&) = delete;

    const TTempDir& Dir() const { return FDir; }
    QString Program() const { return FProgram; }
    QProcess& Process() { return FProcess; }
    // An environment variable for the next start (the speech program inherits it).
    void SetEnvironment(const QString& name, const QString& value);

    void WriteIni(const QByteArray& text) const;
    // False when the program did not start.
    bool Start(const QStringList& arguments = {});
    // SIGTERM, then true when it ended normally with status 0 within the time.
    bool Stop(int timeOut = 20000);
    bool Running() const { return FProcess.state() != QProcess::NotRunning; }

    // The texts handed to the speech program, one per run, in order.
    QStringList Spoken() const;
    bool WaitForSpoken(qsizetype count, int timeOut = 20000) const;
    QString Log() const;
    // Everything the program printed on standard output so far (its memo lines).
    QString Output();

private:
    TTempDir FDir;
    QString FProgram;
    QProcess FProcess;
    QProcessEnvironment FEnvironment;
    QString FOutput;
};

enum class TLine { Udp, Tcp };
QString LineName(TLine line);

// A PLC on the line for vocator: the simulator with a PUB file in the folder of the program,
// restartable on the same address and ports, as a PLC that comes back after losing its power.
class TPlcWithVocator {
public:
    explicit TPlcWithVocator(TLine line, const QByteArray& pubText);

    TVocatorProcess Vocator;
    std::unique_ptr<TSimProcess> Sim;
    TLine Line;
    QString SimAddress;
    quint16 LinePort = 0;
    quint16 HttpPort = 0;

    bool Udp() const { return Line == TLine::Udp; }
    QString Service() const { return Udp() ? QStringLiteral("udp") : QStringLiteral("tcp"); }
    // "UDP:127.0.0.5:4711", as the ini names the line and the log prefixes its lines.
    QString DeviceName() const;

    // The simulator on a fresh address with free ports, or, once one ran, on its address and ports.
    void StartSim(const QStringList& extra = {});
    // Chooses the address and two free ports without starting a simulator: the PLC is not there yet.
    void ReserveAddress();
    // The ini for vocator on this line; extra lines are appended to the [PLC] section.
    QByteArray Ini(const QString& welcome, const QString& messageTag, int timer = 200, const QString& extraPlc = {}) const;
    void StartVocator(const QString& welcome, const QString& messageTag = QStringLiteral("Message"), int timer = 200,
                      const QString& extraPlc = {});

    // Sets a tag on the simulator; false when it refused.
    bool Set(const QString& tag, const QString& value);
    qint64 Reads();
    // The master reads one block after the other and reports each answer before it sends the
    // next read: once the simulator saw two more reads, vocator has seen what was set before.
    bool WaitForReads(int timeOut = 20000);
    qsizetype Downloads() const;
};

} // namespace TestSupport
