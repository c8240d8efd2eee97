#include "app/UnattendedRun.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/IniFile.h"
#include <algorithm>
#include <limits>
#include <cstdio>

namespace {

const QString Section = QStringLiteral("common");

constexpr int DefaultMaxLogFileSize = 10 * 1024 * 1024;
constexpr int DefaultLogFileCount = 6; // the live file and five older ones
constexpr int SmallestLogFileSize = 1024;
constexpr int LargestLogFileCount = 100;

// The value of the key, brought into [low, high] with one line in the log when it was outside.
int ReadClamped(const TIniFile& ini, const QString& key, int defaultValue, int low, int high)
{
    const int value = ini.ReadInteger(Section, key, defaultValue);
    const int clamped = std::clamp(value, low, high);
    if (clamped != value)
        WriteToFile(QStringLiteral("[%1] %2=%3 is outside %4..%5: %6 is used").arg(Section, key).arg(value).arg(low).arg(high).arg(clamped));
    return clamped;
}

} // namespace

void ApplyLogFileSettings(const QString& iniFileName)
{
    const TIniFile ini(iniFileName);
    if (ini.TooLarge())
        WriteToFile(QStringLiteral("The ini file %1 has %2 bytes, more than the %3 that are read: it is ignored, every key has its default")
                        .arg(iniFileName)
                        .arg(ini.FileSize())
                        .arg(TIniFile::MaxFileSize));
    // 0 leaves the files unbounded, for a machine whose own log rotation takes care of them.
    if (ini.ReadInteger(Section, QStringLiteral("MaxLogFileSize"), DefaultMaxLogFileSize) == 0) {
        SetLogFileRotation(false);
        return;
    }
    SetMaxLogFileSize(ReadClamped(ini, QStringLiteral("MaxLogFileSize"), DefaultMaxLogFileSize, SmallestLogFileSize,
                                  std::numeric_limits<int>::max()));
    SetLogFileCount(ReadClamped(ini, QStringLiteral("LogFileCount"), DefaultLogFileCount, 2, LargestLogFileCount));
    SetLogFileRotation(true);
}

std::unique_ptr<TInstanceLock> LockIniFile(const QString& iniFileName, const QString& appName)
{
    auto lock = std::make_unique<TInstanceLock>(iniFileName);
    if (lock->Unavailable())
        WriteToFile(QStringLiteral("The lock file ") + lock->LockFileName() + QStringLiteral(" cannot be used (") + lock->Error() +
                    QStringLiteral("): a second instance on the same ini file is not kept away"));
    if (lock->Acquired())
        return lock;
    const QString refusal = QStringLiteral("Another ") + appName + QStringLiteral(" already runs with the ini file ") + iniFileName +
                            QStringLiteral(": this one ends");
    WriteToFile(refusal);
    std::fprintf(stderr, "%s\n", qPrintable(refusal));
    return nullptr;
}
