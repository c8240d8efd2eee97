#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <ostream>

// Test failures print texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// The built simulator as a child process: started on a loopback address of its own, ready once
// it printed its ready line, driven by commands on its standard input.
class TSimProcess {
public:
    // Starts vocator-plcsim with --address and the arguments; raises std::runtime_error when it
    // does not become ready.
    explicit TSimProcess(const QStringList& arguments);
    // The same on a given address, for a simulator that takes the place of one that ended.
    TSimProcess(const QString& address, const QStringList& arguments);
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    const QString& Address() const { return FAddress; }
    // The port of "udp", "tcp" or "http" from the ready line.
    quint16 Port(const QString& service) const;
    // Sends one command and gives its reply line; lines of the script are passed over.
    QString Command(const QString& line);
    // The next line of standard output; empty when none came in time.
    QString NextLine(int timeOut = 10000);
    // SIGTERM, then the exit status; the last line printed (the counters) in LastLine.
    int Terminate();
    // SIGKILL, as a PLC that loses its power: no counters, no orderly close of connections.
    void Kill();
    QString LastLine;
    QString ReadyLine;

    // A fresh loopback address for each simulator of the run.
    static QString NextAddress();

private:
    QProcess FProcess;
    QString FAddress;
};

// The value of one counter in a "counters: a=1 b=2" line; -1 when it is missing.
std::int64_t Counter(const QString& countersLine, const QString& name);

// The result of running the simulator to its end: exit status and everything it printed.
struct TSimRun {
    int Status = -1;
    QString Output;
    QString Errors;
};
TSimRun RunSimToEnd(const QStringList& arguments, const QByteArray& input = {});

// "10 00 7E" to bytes and back, for frames written the way they are read.
QByteArray Bytes(const char* hex);
QString Hex(const QByteArray& bytes);

// A blocking socket for the tests' side of the line, over plain POSIX calls.
class TRawSocket {
public:
    static TRawSocket Udp(const QString& address, quint16 port);
    static TRawSocket Tcp(const QString& address, quint16 port);
    TRawSocket(TRawSocket&& other) noexcept;
    ~TRawSocket();

    void Send(const QByteArray& bytes);
    // UDP: one datagram; empty when none came in time.
    QByteArray ReceiveDatagram(int timeOut = 2000);
    // TCP: up to count bytes, as many as came in time.
    QByteArray Receive(int count, int timeOut = 2000);
    // TCP: true when the peer closed the connection within the time.
    bool PeerClosed(int timeOut = 2000);

private:
    explicit TRawSocket(int fd) : FFd(fd) {}
    bool WaitReadable(int timeOut);
    int FFd = -1;
};
