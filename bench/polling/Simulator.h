#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The PUB file of the polling measurements: tags of every type from byte 0 to byte 245 of area R,
// which plan into one read of 246 bytes; the message tag "Msg" holds "Line 3 stopped".
QByteArray PubFileOf246Bytes();

// vocator-plcsim as a child process serving that file on UDP, TCP and HTTP; its ports come from
// its ready line.
class TSimulator {
public:
    explicit TSimulator(const char* address);
    ~TSimulator();
    TSimulator(const TSimulator&) = delete;
    TSimulator& operator=(const TSimulator&) = delete;

    bool Ready() const { return FReadyLine.startsWith(QStringLiteral("vocator-plcsim ready:")); }
    QString Error() const;
    // The port of "udp", "tcp" or "http".
    QString Port(const QString& service) const;

private:
    QTemporaryDir FDir;
    QProcess FProcess;
    QString FReadyLine;
};
