#pragma once
#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

// An ini file read with the rules of Windows private-profile files: sections and keys compared
// without regard to case, the first occurrence wins, values trimmed and one pair of surrounding
// quotes removed, lines starting with ";" are comments. A missing file reads as an empty one.
// The file is read once, when the object is created, in the process's ANSI code page (a UTF-8
// byte-order mark switches to UTF-8). Reading and every look-up take time linear in the file's
// size at most. A file larger than MaxFileSize is not read at all: every key has its default.
class TIniFile {
public:
    // Far above any real configuration, low enough that reading it stays cheap.
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    explicit TIniFile(QString fileName);

    const QString& FileName() const noexcept { return FFileName; }
    // The file exists but is larger than MaxFileSize, so nothing of it was read.
    bool TooLarge() const noexcept { return FTooLarge; }
    // The size of the file as it was found, 0 when it is missing.
    qint64 FileSize() const noexcept { return FFileSize; }
    bool SectionExists(const QString& section) const;
    bool ValueExists(const QString& section, const QString& key) const;
    QStringList ReadSection(const QString& section) const;
    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    // Decimal, "$" or "0x" hexadecimal, optionally signed; anything else gives the default.
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // Read as an integer: 0 is false, anything else true.
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;
    // "." is the decimal separator.
    double ReadFloat(const QString& section, const QString& key, double defaultValue) const;

    static bool TryParseInteger(const QString& text, int& value);

private:
    struct TEntry {
        QString Key;
        QString Value;
    };
    struct TSection {
        QString Name;
        std::vector<TEntry> Entries;
        // Case-folded key to its entry.
        QHash<QString, std::size_t> Index;
    };
    const TSection* FindSection(const QString& section) const;
    const TEntry* FindEntry(const QString& section, const QString& key) const;
    void Parse(const QString& text);

    QString FFileName;
    bool FTooLarge = false;
    qint64 FFileSize = 0;
    std::vector<TSection> FSections;
    // Case-folded section name to its section.
    QHash<QString, std::size_t> FSectionIndex;
};
