#pragma once
#include <QString>
#include <QStringList>
#include <vector>

// An ini file read with the rules of Windows private-profile files: sections and keys compared
// without regard to case, the first occurrence wins, values trimmed and one pair of surrounding
// quotes removed, lines starting with ";" are comments. A missing file reads as an empty one.
// The file is read once, when the object is created, in the process's ANSI code page (a UTF-8
// byte-order mark switches to UTF-8).
class TIniFile {
public:
    explicit TIniFile(QString fileName);

    const QString& FileName() const noexcept { return FFileName; }
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
    };
    const TSection* FindSection(const QString& section) const;
    const TEntry* FindEntry(const QString& section, const QString& key) const;
    void Parse(const QString& text);

    QString FFileName;
    std::vector<TSection> FSections;
};
