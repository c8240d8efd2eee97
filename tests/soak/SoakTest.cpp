// An hour of the windowless vocator against the simulator over UDP: the message changes every few
// seconds, and every ten minutes the PLC falls silent for a minute. Every change is spoken
// exactly once and in order, the line shakes hands once more after each silence, and resident
// memory and open descriptors stay flat.
//
// Not part of the default run (label "soak"). VOCATOR_SOAK_SECONDS, VOCATOR_SOAK_SILENCE_EVERY
// and VOCATOR_SOAK_SILENCE (seconds) shorten it for a trial.
#include "VocatorProcess.h"
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <gtest/gtest.h>

using TestSupport::TLine;
using TestSupport::TPlcWithVocator;

namespace {

int SecondsFromEnvironment(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// A PUB file of a small plant: the message among a few thousand tags in three areas.
QByteArray PlantPubFile()
{
    QByteArray text = "Message R B 0 STRING[80] ;text for the loudspeaker\r\n";
    int address = 100;
    for (int device = 0; device < 500; ++device) {
        const QByteArray prefix = "Hall" + QByteArray::number(device / 100 + 1) + ".Pump" + QByteArray::number(device % 100) + ".";
        text += prefix + "Running X B " + QByteArray::number(device / 8) + " ." + QByteArray::number(device % 8) + " BOOL\r\n";
        text += prefix + "Speed R B " + QByteArray::number(address) + " REAL\r\n";
        text += prefix + "Hours R B " + QByteArray::number(address + 4) + " UDINT\r\n";
        text += prefix + "Label Y B " + QByteArray::number(device * 16) + " STRING[15]\r\n";
        address += 8;
    }
    return text;
}

struct TSample {
    qint64 Seconds = 0;
    qint64 ResidentKiB = 0;
    int Descriptors = 0;
};

TSample SampleProcess(qint64 pid, qint64 seconds)
{
    TSample sample{seconds, 0, 0};
    const QByteArray status = TestSupport::ReadFileBytes(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray& line : status.split('\n'))
        if (line.startsWith("VmRSS:"))
            sample.ResidentKiB = line.mid(6).trimmed().split(' ').value(0).toLongLong();
    sample.Descriptors = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
    return sample;
}

} // namespace

TEST(Soak, AnHourOfMessagesAndSilences)
{
    const int duration = SecondsFromEnvironment("VOCATOR_SOAK_SECONDS", 3600);
    const int silenceEvery = SecondsFromEnvironment("VOCATOR_SOAK_SILENCE_EVERY", 600);
    const int silenceLength = SecondsFromEnvironment("VOCATOR_SOAK_SILENCE", 60);
    constexpr int changeEveryMs = 3000;

    TPlcWithVocator plc(TLine::Udp, PlantPubFile());
    plc.StartSim();
    plc.StartVocator(QStringLiteral("Soak"));
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(1));
    const qint64 pid = plc.Vocator.Process().processId();

    QStringList written{QStringLiteral("Soak")};
    QList<TSample> samples;
    int silences = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 nextSample = 0;
    while (clock.elapsed() < qint64(duration) * 1000) {
        const qint64 second = clock.elapsed() / 1000;
        if (clock.elapsed() >= nextSample) {
            samples << SampleProcess(pid, second);
            std::printf("soak: %5lld s  resident %lld KiB  descriptors %d  spoken %lld\n", second, samples.last().ResidentKiB,
                        samples.last().Descriptors, static_cast<long long>(plc.Vocator.Spoken().size()));
            std::fflush(stdout);
            nextSample += 60000;
        }
        const bool silenceDue = second > 0 && second / silenceEvery > silences && second + silenceLength + 30 < duration;
        if (silenceDue) {
            // The PLC drops everything for a while; the one text written meanwhile is seen after it.
            ++silences;
            ASSERT_EQ(plc.Sim->Command(QStringLiteral("drop 1000000000")), QStringLiteral("ok"));
            TestSupport::ServeEventsFor(silenceLength * 500);
            written << QStringLiteral("During silence %1").arg(silences);
            ASSERT_TRUE(plc.Set(QStringLiteral("Message"), written.last()));
            TestSupport::ServeEventsFor(silenceLength * 500);
            ASSERT_EQ(plc.Sim->Command(QStringLiteral("reset")), QStringLiteral("ok"));
            ASSERT_TRUE(plc.Vocator.WaitForSpoken(written.size(), 60000)) << plc.Vocator.Log().right(4000).toStdString();
            continue;
        }
        written << QStringLiteral("Message %1 at %2 s").arg(written.size()).arg(second);
        ASSERT_TRUE(plc.Set(QStringLiteral("Message"), written.last()));
        TestSupport::ServeEventsFor(changeEveryMs);
        ASSERT_TRUE(plc.Vocator.Running());
    }
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(written.size(), 60000));
    samples << SampleProcess(pid, clock.elapsed() / 1000);
    const QString stats = plc.Sim->Command(QStringLiteral("stats"));
    ASSERT_TRUE(plc.Vocator.Stop());

    EXPECT_EQ(plc.Vocator.Spoken(), written);
    const QString log = plc.Vocator.Log();
    const qsizetype handshakes = log.count(plc.DeviceName() + QStringLiteral("\tConnected\r\n"));
    // A silence outlasts the line's eight retries (about 2.5 s each) and ends in a new handshake;
    // a shorter trial silence does not.
    if (silenceLength >= 30) {
        EXPECT_EQ(handshakes, 1 + silences) << "one handshake at start and one after each silence";
    }
    // The first minute fills caches and pools; from then on nothing may grow.
    const TSample& settled = samples.value(1, samples.first());
    const TSample& last = samples.last();
    EXPECT_LE(last.ResidentKiB, settled.ResidentKiB + 2048) << "resident memory grew";
    EXPECT_LE(last.Descriptors, settled.Descriptors) << "descriptors leaked";
    std::printf("soak: %lld messages spoken, %d silences, %lld handshakes, %lld downloads, %lld reads; resident %lld -> %lld KiB, "
                "descriptors %d -> %d\nsoak: simulator %s\n",
                static_cast<long long>(written.size()), silences, static_cast<long long>(handshakes),
                static_cast<long long>(plc.Downloads()), static_cast<long long>(Counter(stats, QStringLiteral("read-frames"))),
                settled.ResidentKiB, last.ResidentKiB, settled.Descriptors, last.Descriptors, qPrintable(stats));
}
