#pragma once
#include <QByteArray>
#include <QString>

// An 8-bit code page (the process's "ANSI" one, or the PLC's) with conversions both ways.
// Characters the code page lacks become "?"; bytes it cannot decode become U+FFFD.
class TCodePage {
public:
    // An empty or unknown name gives the locale's charset (UTF-8 under the plain C or POSIX locale).
    explicit TCodePage(const QString& name = {});

    const QString& Name() const noexcept { return FName; }
    bool IsUtf8() const noexcept { return FUtf8; }
    QByteArray Encode(QStringView text) const;
    QString Decode(QByteArrayView bytes) const;

    static bool IsKnown(const QString& name);
    // The locale's charset as iconv names it, UTF-8 for the plain C or POSIX locale.
    static QString LocaleCharset();

private:
    QString FName;
    bool FUtf8 = true;
};

// The process-wide ANSI code page: the locale's charset until SetAnsiCodePage changes it.
// Set it once at start-up, before worker threads run.
const TCodePage& AnsiCodePage();
void SetAnsiCodePage(const QString& name);

inline QByteArray ToAnsi(QStringView text) { return AnsiCodePage().Encode(text); }
inline QString FromAnsi(QByteArrayView bytes) { return AnsiCodePage().Decode(bytes); }
