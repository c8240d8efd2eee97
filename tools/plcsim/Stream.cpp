#include "Stream.h"
#include "Answerer.h"
#include "SlaveFrames.h"

namespace {

// The pause between the bytes of a trickled answer.
constexpr int TricklePause = 2;

} // namespace

TSimStream::TSimStream(TSimAnswerer& answerer, const char* name, TLink link, QObject* owner)
    : QObject(owner), FAnswerer(answerer), FName(name), FLink(std::move(link))
{
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, &TSimStream::Pump);
    FClock.start();
}

void TSimStream::Receive(QByteArrayView bytes)
{
    FPending.append(bytes);
    qsizetype used = 0;
    for (;;) {
        const QByteArrayView rest = QByteArrayView(FPending).sliced(used);
        const qsizetype length = SlaveFrames::FrameLength(rest);
        if (length < 0) {
            ++FAnswerer.Counters().BadFrames; // not a frame start: look for one from the next byte on
            ++used;
            continue;
        }
        if (length == 0 || rest.size() < length)
            break;
        used += length;
        Answer(rest.first(length));
    }
    FPending.remove(0, used); // what is left is the start of one frame: at most 260 bytes
    SendBatch();
    Pump();
}

void TSimStream::Answer(QByteArrayView frame)
{
    FAnswerer.Log("<", FName, frame);
    QByteArrayView answer = FAnswerer.Answer(frame);
    if (answer.isEmpty())
        return;
    FAnswerer.Log(">", FName, answer);
    TSimFaults& faults = FAnswerer.Faults();
    TSimCounters& counters = FAnswerer.Counters();
    TOutgoing outgoing;
    outgoing.Due = FClock.elapsed();
    if (TSimFaults::Take(faults.DelayedAnswers)) {
        outgoing.Due += faults.DelayMs;
        ++counters.Delayed;
    }
    if (TSimFaults::Take(faults.TrickledAnswers)) {
        outgoing.Trickle = true;
        ++counters.Trickled;
    }
    const bool junk = TSimFaults::Take(faults.JunkAnswers);
    const bool twice = TSimFaults::Take(faults.DuplicatedAnswers);
    if (junk || twice) {
        counters.Junk += junk ? 1 : 0;
        counters.Duplicated += twice ? 1 : 0;
        FScratch = (junk ? SlaveFrames::JunkBytes().toByteArray() : QByteArray()) + answer.toByteArray() + (twice ? answer.toByteArray() : QByteArray());
        answer = FScratch;
    }
    if (FLink.Reset && TSimFaults::Take(faults.ResetAnswers)) {
        outgoing.Reset = true;
        answer = SlaveFrames::Truncated(answer);
        ++counters.Resets;
    }
    if (FQueue.empty() && IsPlain(outgoing)) {
        FBatch.append(answer);
        return;
    }
    outgoing.Bytes = answer.toByteArray();
    FQueue.push_back(std::move(outgoing));
}

bool TSimStream::IsPlain(const TOutgoing& outgoing) const
{
    return !outgoing.Trickle && !outgoing.Reset && outgoing.Due <= FClock.elapsed();
}

void TSimStream::SendBatch()
{
    if (FBatch.isEmpty())
        return;
    FLink.Write(FBatch);
    FBatch.resize(0); // keeps its capacity for the next answers
}

void TSimStream::Pump()
{
    while (!FQueue.empty()) {
        TOutgoing& next = FQueue.front();
        const qint64 wait = next.Due - FClock.elapsed();
        if (wait > 0) {
            FTimer.start(int(wait));
            return;
        }
        if (next.Trickle) {
            FLink.Write(QByteArrayView(next.Bytes).sliced(next.Sent, 1));
            if (++next.Sent < next.Bytes.size()) {
                next.Due = FClock.elapsed() + TricklePause;
                continue;
            }
        } else {
            FLink.Write(next.Bytes);
        }
        if (next.Reset) {
            FQueue.clear();
            FLink.Reset(); // may end the connection, and this stream with it, later
            return;
        }
        FQueue.pop_front();
    }
}
