#pragma once
#include <QByteArray>
#include <QtGlobal>

// What the PLC's web server answers for the PUB file.
enum class TPubMode {
    Normal, // the PUB file
    Empty,  // 200 with no body
    Error,  // 500 with an error page
    Bad,    // 200 with lines that are not valid tag lines
    Huge,   // 200 with a body of HugeSize bytes
    File    // 200 with the bytes of another file, as they are; the memory keeps its layout
};

// The faults the simulator injects; each is switched by a command. The counted ones apply to
// that many answers and then wear off.
struct TSimFaults {
    int DropAnswers = 0;    // answer nothing
    int ShortAnswers = 0;   // send only the first half of the answer
    int WrongIdAnswers = 0; // UDP only: echo the identifier before the request's
    int DelayedAnswers = 0; // send late, by DelayMs
    int DelayMs = 0;
    int TrickledAnswers = 0; // TCP and serial: one byte at a time
    int ResetAnswers = 0;   // TCP: the first half, then a reset of the connection
    int BadChecksumAnswers = 0; // the check sum byte wrong
    int BadStationAnswers = 0;  // from another station (the check sum fits)
    int BadLengthAnswers = 0;   // reads: the two length bytes disagree (the check sum fits)
    int ForeignAnswers = 0;     // UDP: a forged copy first, from another sender
    QString ForeignAddress;     // its address; empty: the simulator's own, from another port
    int DuplicatedAnswers = 0;  // sent twice
    int JunkAnswers = 0;        // junk first: bytes on a stream, a datagram on UDP
    TPubMode PubMode = TPubMode::Normal;
    qint64 HugeSize = 0;
    QByteArray FileBody;
    int HttpDelay = 0;      // ms before each HTTP response

    // Uses up one of a counted fault; true when it applies to this answer.
    static bool Take(int& pending)
    {
        if (pending <= 0)
            return false;
        --pending;
        return true;
    }
    void Reset() { *this = TSimFaults(); }
};
