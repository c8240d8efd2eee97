#pragma once
#include "platform/InstanceLock.h"
#include <QString>
#include <memory>

// Start-up steps that let the program run for months without anyone watching it.

// The log files' size rotation from [common] MaxLogFileSize and LogFileCount, for the default log
// file and the communication line's own ones alike; an ini file too large to be read, or a value
// out of range, is reported with one line in the log file.
void ApplyLogFileSettings(const QString& iniFileName);

// The windowless program's guard against a second instance on the same ini file: null when
// another one holds it, which is then said on standard error and in the log file.
std::unique_ptr<TInstanceLock> LockIniFile(const QString& iniFileName, const QString& appName);
