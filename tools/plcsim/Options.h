#pragma once
#include "WebServer.h"
#include <QHostAddress>
#include <QStringList>
#include <optional>

// The simulator's command line. Each service runs only when its port is given; port 0 takes
// any free port, which the ready line then reports.
struct TSimOptions {
    QHostAddress Address = QHostAddress(QHostAddress::LocalHost);
    std::optional<quint16> UdpPort;
    std::optional<quint16> TcpPort;
    std::optional<quint16> HttpPort;
    QString SerialLink; // the name of the serial line's pty; empty: no serial line
    QString PubFile;
    TSimWebSettings Web;
    int Station = 0;
    QString CodePage;
    QStringList Sets; // TAG=VALUE
    QString Script;
    bool Verbose = false;
};

// Raises Exception with a message for the user when the arguments are wrong; prints the help
// or the version and exits when asked for them.
TSimOptions ParseOptions(const QStringList& arguments);
