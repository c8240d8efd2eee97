#include "platform/TextFile.h"
#include "platform/CodePage.h"
#include <QFile>
#include <QStringDecoder>

QString DecodeTextBytes(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const auto encoding = bytes.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
        return decoder(bytes.mid(2));
    }
    return FromAnsi(bytes);
}

QString LoadTextFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString()));
    return DecodeTextBytes(bytes);
}

QStringList SplitTextLines(QStringView text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start).toString());
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start).toString());
    return lines;
}

QString JoinTextLines(const QStringList& lines)
{
    QString text;
    for (const QString& line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    return text;
}

void SaveTextFile(const QString& fileName, const QString& text)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(fileName, file.errorString()));
    const QByteArray bytes = ToAnsi(text);
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw EWriteError(QStringLiteral("Stream write error: %1").arg(file.errorString()));
}
