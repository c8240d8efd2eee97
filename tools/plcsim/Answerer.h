#pragma once
#include "Counters.h"
#include "Faults.h"
#include "SlaveFrames.h"
#include <QByteArrayView>
#include <cstdint>

class TSimMemory;

// The EPSNET slave's answers, whatever the line: the connect frame and reads of N bytes from the
// memory. Frames that are broken, not for this station or not a request it knows get no answer,
// as on a real line. The drop, short, check sum, station and length faults apply here; the
// faults of each kind of line are applied by the line.
class TSimAnswerer {
public:
    TSimAnswerer(const TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station, bool verbose);

    // The answer to one frame with the drop and short faults applied, in a buffer of the
    // answerer's own that the next call overwrites; empty when the frame gets no answer.
    QByteArrayView Answer(QByteArrayView frame);
    // One frame line on standard error in verbose mode: "< udp 10 00 7E 69 E7 16".
    void Log(const char* direction, const char* line, QByteArrayView bytes) const;

    TSimFaults& Faults() { return FFaults; }
    TSimCounters& Counters() { return FCounters; }

private:
    // The answer before any fault; 0 bytes when the frame gets none.
    qsizetype Build(QByteArrayView frame);
    // Applies the check sum, station and length faults to the answer in the buffer.
    void Corrupt(qsizetype size);

    const TSimMemory& FMemory;
    TSimFaults& FFaults;
    TSimCounters& FCounters;
    std::uint8_t FStation;
    bool FVerbose;
    SlaveFrames::TAnswerBuffer FAnswer{};
};
