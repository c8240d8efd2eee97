#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace TestSupport {

// The runs that the record_args fixture wrote to its record file: one argument list per run.
QList<QStringList> ReadRecordedRuns(const QString& recordFile);

} // namespace TestSupport
