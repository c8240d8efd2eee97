// Feeds arbitrary text to the text-to-number and text-to-date helpers: a rejection must be an
// EConvertError, never a crash, a hang or another exception.
#include "common/kxtools.h"
#include <QString>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    for (const QString& separator : {QString(), QStringLiteral("."), QStringLiteral(" "), QString(QChar(0xA0))}) {
        try {
            // A number that was read is finite: overflow is reported, not returned.
            if (!std::isfinite(StrToFloat2(text, separator)))
                std::abort();
        } catch (const EConvertError&) {
            // Rejected input is the expected outcome for most of the corpus.
        }
    }

    try {
        const TDateTime value = SQLStrToDateTime(text);
        // Whatever was read writes back to text that reads as the same date-time.
        if (value != 0 && SQLStrToDateTime(DateTimeToSQLStr(value, true)) != value)
            std::abort();
    } catch (const EConvertError&) {
        // Rejected input is the expected outcome for most of the corpus.
    }
    return 0;
}
