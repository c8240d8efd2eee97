#include "Answerer.h"
#include "Memory.h"
#include <cstdio>

TSimAnswerer::TSimAnswerer(const TSimMemory& memory, TSimFaults& faults, TSimCounters& counters, std::uint8_t station,
                           bool verbose)
    : FMemory(memory), FFaults(faults), FCounters(counters), FStation(station), FVerbose(verbose)
{
}

QByteArrayView TSimAnswerer::Answer(QByteArrayView frame)
{
    const qsizetype size = Build(frame);
    if (size == 0)
        return {};
    if (TSimFaults::Take(FFaults.DropAnswers)) {
        ++FCounters.Dropped;
        return {};
    }
    ++FCounters.Answers;
    const QByteArrayView answer(FAnswer.data(), size);
    if (TSimFaults::Take(FFaults.ShortAnswers)) {
        ++FCounters.ShortAnswers;
        return SlaveFrames::Truncated(answer);
    }
    Corrupt(size);
    return answer;
}

qsizetype TSimAnswerer::Build(QByteArrayView frame)
{
    const SlaveFrames::TParsed parsed = SlaveFrames::ParseRequest(frame);
    if (!parsed.Request) {
        ++FCounters.BadFrames;
        if (FVerbose)
            std::fprintf(stderr, "vocator-plcsim: frame refused: %s\n", qPrintable(parsed.Error));
        return 0;
    }
    const SlaveFrames::TRequest& request = *parsed.Request;
    if (request.Destination != FStation) {
        ++FCounters.ForeignFrames;
        return 0;
    }
    if (request.Kind == SlaveFrames::TRequestKind::Connect) {
        ++FCounters.ConnectFrames;
        return SlaveFrames::ConnectAnswer(request, FAnswer);
    }
    ++FCounters.ReadFrames;
    FMemory.ReadInto(request.Area, request.Address, request.Length, FAnswer.data() + SlaveFrames::ReadAnswerDataOffset);
    return SlaveFrames::ReadAnswerAround(request, FAnswer);
}

void TSimAnswerer::Corrupt(qsizetype size)
{
    char* bytes = FAnswer.data();
    const bool read = size > ConnectAnswerSize;
    // The station byte and the length byte leave the check sum right, so only the check that
    // looks at them can catch them.
    auto refreshChecksum = [&] {
        const qsizetype from = read ? 4 : 1;
        bytes[size - 2] = static_cast<char>(CalculateFCS(QByteArrayView(bytes + from, size - 2 - from)));
    };
    if (TSimFaults::Take(FFaults.BadStationAnswers)) {
        bytes[read ? 5 : 2] = static_cast<char>(bytes[read ? 5 : 2] + 1);
        refreshChecksum();
        ++FCounters.Corrupted;
    }
    if (read && TSimFaults::Take(FFaults.BadLengthAnswers)) {
        bytes[2] = static_cast<char>(bytes[2] - 1);
        ++FCounters.Corrupted;
    }
    if (TSimFaults::Take(FFaults.BadChecksumAnswers)) {
        bytes[size - 2] = static_cast<char>(bytes[size - 2] ^ 0x5A);
        ++FCounters.Corrupted;
    }
}

void TSimAnswerer::Log(const char* direction, const char* line, QByteArrayView bytes) const
{
    if (FVerbose)
        std::fprintf(stderr, "vocator-plcsim: %s %s %s\n", direction, line, qPrintable(SlaveFrames::Hex(bytes)));
}
