#pragma once
#include <QString>
#include <cstdint>

// What the simulator saw and did. Printed on request and at exit as one line of name=value
// pairs, so that a test can tell that a request reached the simulator or that a fault hit it.
struct TSimCounters {
    // EPSNET
    std::uint64_t UdpDatagrams = 0;
    std::uint64_t TcpConnections = 0;
    std::uint64_t ConnectFrames = 0;
    std::uint64_t ReadFrames = 0;
    std::uint64_t BadFrames = 0;     // broken framing, check sum, UDP header or unknown function
    std::uint64_t ForeignFrames = 0; // addressed to another station
    std::uint64_t Answers = 0;       // answers sent, faulty ones included
    std::uint64_t Dropped = 0;
    std::uint64_t ShortAnswers = 0;
    std::uint64_t WrongIdAnswers = 0;
    std::uint64_t TcpClosed = 0;     // connections the simulator closed on command
    std::uint64_t Delayed = 0;
    std::uint64_t Trickled = 0;
    std::uint64_t Resets = 0;        // connections reset after half an answer
    std::uint64_t SerialClosed = 0;  // times the serial line was unplugged on command
    std::uint64_t Corrupted = 0;     // answers sent with a wrong check sum, station or length
    std::uint64_t ForeignSent = 0;   // forged answers sent from another address or port
    std::uint64_t Duplicated = 0;
    std::uint64_t Junk = 0;          // runs of junk sent before an answer
    // HTTP
    std::uint64_t HttpRequests = 0;
    std::uint64_t LoginPages = 0;
    std::uint64_t LoginsAccepted = 0;
    std::uint64_t LoginsRefused = 0;
    std::uint64_t PubServed = 0;
    std::uint64_t PubRefused = 0;    // asked for without a valid login
    std::uint64_t HttpNotFound = 0;
    std::uint64_t HttpBad = 0;       // requests that were not HTTP or too large
    std::uint64_t HttpDelayed = 0;

    // "counters: udp-datagrams=1 tcp-connections=0 ..."
    QString Format() const;
};
