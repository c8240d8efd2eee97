// Loading, planning and looking up the tags of large generated PUB files.
#include "epsnet/kxEPSNET_component.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include "errorsystem/ErrorSystem.h"
#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <map>
#include <memory>
#include <random>

namespace {

// One machine's worth of signals, repeated per device: every type of the PUB file, bits packed
// eight to a byte as a PLC programmer lays them out.
struct TSignal {
    const char* Name;
    const char* Type; // empty: a bit
    int Size;
    const char* Description;
};
const TSignal Signals[] = {
    {"Running", "", 0, "running"}, {"Fault", "", 0, "fault"}, {"Auto", "", 0, ""}, {"Manual", "", 0, ""},
    {"Forward", "", 0, ""}, {"Reverse", "", 0, ""}, {"LimitHigh", "", 0, "upper limit switch"}, {"LimitLow", "", 0, ""},
    {"Ready", "", 0, ""}, {"Enabled", "", 0, ""}, {"Alarm", "", 0, "alarm acknowledged"}, {"Warning", "", 0, ""},
    {"DoorOpen", "", 0, ""}, {"Estop", "", 0, "emergency stop"}, {"Heating", "", 0, ""}, {"Cooling", "", 0, ""},
    {"State", "SINT", 1, ""}, {"Step", "USINT", 1, "sequence step"}, {"OpMode", "MODE", 1, ""},
    {"Setpoint", "INT", 2, ""}, {"Counter", "UINT", 2, "pieces"}, {"Position", "DINT", 4, "mm"},
    {"Cycles", "UDINT", 4, ""}, {"Speed", "REAL", 4, "m/s"}, {"Energy", "LREAL", 8, "kWh"},
    {"LastStart", "DT", 8, ""}, {"RunTime", "TIME", 4, ""}, {"Label", "STRING[7]", 8, "display text"},
    {"Current", "INT", 2, "A"},
};
const char* const Devices[] = {"Pump", "Conveyor", "Fan", "Valve", "Press", "Mixer", "Heater", "Lift"};
const char Areas[] = {'X', 'Y', 'S', 'R'};

// A PUB file of about count tags, in address order, areas filled one after the other.
QString GeneratePubFile(int count)
{
    QStringList lines;
    lines.reserve(count + 2);
    lines << QStringLiteral("; generated for the benchmark") << QString();
    int area = 0;
    int address = 0;
    int bit = 0;
    for (int device = 0; lines.size() - 2 < count; ++device) {
        const QString prefix = QStringLiteral("Hall%1.Line%2.%3%4.")
                                   .arg(device / 400 + 1)
                                   .arg(device / 20 % 20 + 1, 2, 10, QLatin1Char('0'))
                                   .arg(QLatin1String(Devices[device % 8]))
                                   .arg(device % 20 + 1);
        if (address + 64 > TEPSNETRam::RamSize) {
            ++area;
            address = 0;
        }
        if (area >= 4)
            break;
        const QChar letter = QLatin1Char(Areas[area]);
        for (const TSignal& signal : Signals) {
            if (lines.size() - 2 >= count)
                break;
            QString line = prefix + QLatin1String(signal.Name) + u' ' + letter;
            if (!*signal.Type) {
                line += QStringLiteral(" B %1 .%2 BOOL").arg(address).arg(bit);
                if (++bit == 8) {
                    bit = 0;
                    ++address;
                }
            } else {
                if (bit) {
                    bit = 0;
                    ++address;
                }
                line += QStringLiteral(" B %1 %2").arg(address).arg(QLatin1String(signal.Type));
                address += signal.Size;
            }
            if (*signal.Description)
                line += QStringLiteral(" ;") + QLatin1String(signal.Description);
            lines << line;
        }
    }
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

const QString& PubFile(int count)
{
    static std::map<int, QString> files;
    QString& file = files[count];
    if (file.isEmpty())
        file = GeneratePubFile(count);
    return file;
}

// A master opened on a line where nothing answers: enough for planning, which only fills the
// thread's cyclic read list.
std::unique_ptr<TkxEPSNETMaster> OpenedMaster()
{
    auto master = std::make_unique<TkxEPSNETMaster>(nullptr);
    master->SetPubFileName(QString());
    master->SetEnableLogging(false);
    master->SetEnableLoggingToFile(false);
    master->SetDeviceName(QStringLiteral("UDP:127.0.0.1:9"));
    master->Open();
    return master;
}

int TagCount(TEpsnetThreadSafeTagList& list) { return TEpsnetTagListLock(list)->Count(); }

void Load(benchmark::State& state)
{
    const QString& text = PubFile(int(state.range(0)));
    TEpsnetThreadSafeTagList list;
    for (auto _ : state)
        list.LoadFromString(text);
    state.counters["tags"] = TagCount(list);
}

void Plan(benchmark::State& state)
{
    const QString& text = PubFile(int(state.range(0)));
    auto master = OpenedMaster();
    master->TagList().LoadFromString(text);
    for (auto _ : state) {
        master->GetComThread()->RList()->Clear();
        master->AddAllTagToRList();
    }
    state.counters["reads"] = master->GetComThread()->RList()->Count();
}

// What a new file costs the program: load, then plan as the data module does, then the first
// lookup, which sorts the list by name again.
void LoadPlanAndFirstLookup(benchmark::State& state)
{
    const QString& text = PubFile(int(state.range(0)));
    auto master = OpenedMaster();
    const QString name = QStringLiteral("Hall1.Line01.Pump1.Label");
    for (auto _ : state) {
        master->TagList().LoadFromString(text);
        master->GetComThread()->RList()->Clear();
        master->AddAllTagToRList();
        benchmark::DoNotOptimize(master->TagList().GetAsString(name));
    }
    state.counters["tags"] = TagCount(master->TagList());
}

// The data module's read of the message tag after every answer, over names spread through the list.
void LookUp(benchmark::State& state)
{
    const QString& text = PubFile(int(state.range(0)));
    TEpsnetThreadSafeTagList list;
    list.LoadFromString(text);
    QStringList names;
    {
        TEpsnetTagListLock tags(list);
        std::mt19937 random(42);
        std::uniform_int_distribution<int> pick(0, tags->Count() - 1);
        for (int i = 0; i < 1024; ++i)
            names << tags->Items(pick(random))->Name();
    }
    list.GetAsString(names.first()); // sorts by name once
    std::size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(list.GetAsString(names[qsizetype(i++ % 1024)]));
}

// Files at the download's 16 MiB bound in the shapes that would cost most if parsing were not
// linear: 0 one tag line padded with blanks, 1 broken lines only but one, 2 short tag lines.
const QString& FileAtTheSizeLimit(int shape)
{
    static std::map<int, QString> files;
    QString& file = files[shape];
    if (!file.isEmpty())
        return file;
    const qsizetype limit = PubFileMaxBodySize;
    if (shape == 0) {
        file = QStringLiteral("Msg R B 0 STRING[40]");
        file += QString(limit - file.size() - 2, u' ') + QStringLiteral("\r\n");
        return file;
    }
    file = QStringLiteral("Msg R B 0 STRING[40]\r\n");
    file.reserve(limit);
    for (int i = 0; file.size() < limit - 32; ++i)
        file += shape == 1 ? QStringLiteral("Bad R B x%1 INT\r\n").arg(i) : QStringLiteral("T%1 R B %2 INT\r\n").arg(i).arg(i % 60000);
    return file;
}

void LoadAtTheSizeLimit(benchmark::State& state)
{
    const QString& text = FileAtTheSizeLimit(int(state.range(0)));
    TEpsnetThreadSafeTagList list;
    for (auto _ : state)
        list.LoadFromString(text);
    state.counters["tags"] = TagCount(list);
    state.counters["MiB"] = double(text.size()) / (1024 * 1024);
}

} // namespace

BENCHMARK(LoadAtTheSizeLimit)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(Load)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(Plan)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadPlanAndFirstLookup)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(LookUp)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kNanosecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir logDir;
    TLogSystemScope logSystem;
    SetDefaultFileName(logDir.filePath(QStringLiteral("bench.log")));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
