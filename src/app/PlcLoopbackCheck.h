#pragma once
#include <QString>

// One check of the self-test: passed, failed, or not possible here; the detail says why.
struct TCheckResult {
    enum TStatus { csPassed, csFailed, csSkipped };
    TStatus Status = csFailed;
    QString Detail;
};

// Runs the PLC simulator found beside the program on loopback ports of the system's choosing and
// points an EPSNET master at it over the given line ("UDP" or "TCP"): the check passes when the
// master has downloaded the PUB file and read back a value set on the simulator, within a bound.
// Without the simulator the check is skipped.
TCheckResult CheckPlcLoopback(const QString& line);
