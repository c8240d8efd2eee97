#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

// Readable failure messages for Qt strings; every test file of this folder includes it, so all
// of them print these types the same way.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i)
        *out << (i > 0 ? ", \"" : "\"") << list[i].toStdString() << '"';
    *out << '}';
}

inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << bytes.toHex(' ').toStdString(); }
