#include "RecordedRuns.h"
#include "TestSupport.h"

namespace TestSupport {

QList<QStringList> ReadRecordedRuns(const QString& recordFile)
{
    QList<QStringList> runs;
    for (const QByteArray& line : ReadFileBytes(recordFile).split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList arguments;
        const QList<QByteArray> parts = line.split('\x1F');
        for (qsizetype i = 0; i + 1 < parts.size(); ++i)
            arguments << QString::fromUtf8(parts[i]);
        runs << arguments;
    }
    return runs;
}

} // namespace TestSupport
