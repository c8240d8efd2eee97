#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>

class TSimAnswerer;

// One byte stream to a master, a TCP connection or the serial line: finds the frames back to
// back in what arrives and sends their answers in the order of the requests, each at its time
// and pace. The faults of a stream apply here: delay (held answers also hold the ones behind
// them), trickle (one byte at a time) and, where the link can be reset, reset.
class TSimStream : public QObject {
    Q_OBJECT
public:
    struct TLink {
        std::function<void(QByteArrayView)> Write; // sends the bytes at once
        std::function<void()> Reset;               // resets the link; none where it cannot be
    };

    TSimStream(TSimAnswerer& answerer, const char* name, TLink link, QObject* owner = nullptr);

    // Takes the bytes received and answers every frame they complete.
    void Receive(QByteArrayView bytes);

private:
    struct TOutgoing {
        QByteArray Bytes;
        qint64 Due = 0;       // ms on FClock
        bool Trickle = false;
        bool Reset = false;   // reset the link once the bytes are out
        qsizetype Sent = 0;
    };

    void Answer(QByteArrayView frame);
    // Answers without a stream fault go out with the next write unless others wait before them.
    bool IsPlain(const TOutgoing& outgoing) const;
    void SendBatch();
    // Sends what is due from the front of the queue and sets the timer for the rest.
    void Pump();

    TSimAnswerer& FAnswerer;
    const char* FName;
    TLink FLink;
    QByteArray FPending; // the start of a frame not yet complete
    QByteArray FBatch;   // answers of one read, sent in one write
    QByteArray FScratch; // an answer with junk before it or sent twice
    std::deque<TOutgoing> FQueue;
    QTimer FTimer;
    QElapsedTimer FClock;
};
