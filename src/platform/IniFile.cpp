#include "platform/IniFile.h"
#include "platform/CodePage.h"
#include <QFile>
#include <algorithm>
#include <limits>

namespace {

QString Unquoted(QString value)
{
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
        return value.mid(1, value.size() - 2);
    return value;
}

} // namespace

TIniFile::TIniFile(QString fileName) : FFileName(std::move(fileName))
{
    QFile file(FFileName);
    if (FFileName.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    FFileSize = file.size();
    // A file cut at the bound could end in half a line and lose the keys after it unnoticed:
    // all defaults are the plainer outcome, and the start-up reports it.
    QByteArray bytes = file.read(MaxFileSize + 1);
    FFileSize = std::max(FFileSize, static_cast<qint64>(bytes.size()));
    if (bytes.size() > MaxFileSize) {
        FTooLarge = true;
        return;
    }
    if (bytes.startsWith("\xEF\xBB\xBF"))
        Parse(QString::fromUtf8(QByteArrayView(bytes).sliced(3)));
    else
        Parse(FromAnsi(bytes));
}

void TIniFile::Parse(const QString& text)
{
    TSection* current = nullptr;
    for (QStringView rawLine : QStringView(text).split(u'\n')) {
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.front() == u';')
            continue;
        if (line.front() == u'[') {
            const qsizetype close = line.indexOf(u']');
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed().toString();
            // A repeated section is ignored: its first occurrence wins.
            current = nullptr;
            const QString folded = name.toCaseFolded();
            if (!FSectionIndex.contains(folded)) {
                FSectionIndex.insert(folded, FSections.size());
                FSections.push_back({name, {}, {}});
                current = &FSections.back();
            }
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!current || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed().toString();
        const QString folded = key.toCaseFolded();
        if (key.isEmpty() || current->Index.contains(folded))
            continue;
        current->Index.insert(folded, current->Entries.size());
        current->Entries.push_back({key, Unquoted(line.mid(equals + 1).trimmed().toString())});
    }
}

const TIniFile::TSection* TIniFile::FindSection(const QString& section) const
{
    const auto found = FSectionIndex.constFind(section.toCaseFolded());
    return found == FSectionIndex.cend() ? nullptr : &FSections[found.value()];
}

const TIniFile::TEntry* TIniFile::FindEntry(const QString& section, const QString& key) const
{
    const TSection* s = FindSection(section);
    if (!s)
        return nullptr;
    const auto found = s->Index.constFind(key.toCaseFolded());
    return found == s->Index.cend() ? nullptr : &s->Entries[found.value()];
}

bool TIniFile::SectionExists(const QString& section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(const QString& section, const QString& key) const { return FindEntry(section, key) != nullptr; }

QStringList TIniFile::ReadSection(const QString& section) const
{
    QStringList keys;
    if (const TSection* s = FindSection(section))
        for (const TEntry& e : s->Entries)
            keys << e.Key;
    return keys;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const TEntry* e = FindEntry(section, key);
    return e ? e->Value : defaultValue;
}

bool TIniFile::TryParseInteger(const QString& text, int& value)
{
    QStringView t = QStringView(text).trimmed();
    bool negative = false;
    if (!t.isEmpty() && (t.front() == u'-' || t.front() == u'+')) {
        negative = t.front() == u'-';
        t = t.mid(1);
    }
    int base = 10;
    if (t.startsWith(u'$')) {
        base = 16;
        t = t.mid(1);
    } else if (t.startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        t = t.mid(2);
    }
    if (t.isEmpty() || t.front() == u'-' || t.front() == u'+')
        return false;
    bool ok = false;
    const qlonglong magnitude = t.toLongLong(&ok, base);
    if (!ok)
        return false;
    const qlonglong signedValue = negative ? -magnitude : magnitude;
    // Hexadecimal values may use all 32 bits, as in $FFFFFFFF for -1.
    if (base == 16 && !negative && magnitude <= 0xFFFFFFFFLL) {
        value = static_cast<int>(static_cast<quint32>(magnitude));
        return true;
    }
    if (signedValue < std::numeric_limits<int>::min() || signedValue > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(signedValue);
    return true;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const
{
    int value = 0;
    const TEntry* e = FindEntry(section, key);
    return e && TryParseInteger(e->Value, value) ? value : defaultValue;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

double TIniFile::ReadFloat(const QString& section, const QString& key, double defaultValue) const
{
    const TEntry* e = FindEntry(section, key);
    if (!e)
        return defaultValue;
    bool ok = false;
    const double value = e->Value.toDouble(&ok);
    return ok ? value : defaultValue;
}
