#include "platform/CodePage.h"
#include <QStringDecoder>
#include <QStringEncoder>
#include <clocale>
#include <langinfo.h>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr char16_t SubstituteChar = 0x1A; // what ICU writes for an unmappable character

bool IsUtf8Name(const QString& name)
{
    const QString n = name.toLower().remove(u'-').remove(u'_');
    return n == u"utf8";
}

// ICU converters substitute the control character SUB for unmappable characters; the system
// shows "?" instead. The text is cut at genuine SUB characters so that only substitutes change.
QByteArray EncodeWithQuestionMarks(const QString& codec, QStringView text)
{
    QByteArray result;
    result.reserve(text.size());
    qsizetype start = 0;
    for (;;) {
        const qsizetype sub = text.indexOf(QChar(SubstituteChar), start);
        const QStringView part = text.mid(start, sub < 0 ? -1 : sub - start);
        QStringEncoder encoder(codec.toLatin1().constData());
        QByteArray bytes = encoder.encode(part);
        bytes.replace(char(SubstituteChar), '?');
        result += bytes;
        if (sub < 0)
            return result;
        result += char(SubstituteChar);
        start = sub + 1;
    }
}

} // namespace

TCodePage::TCodePage(const QString& name)
{
    const QString wanted = name.trimmed();
    FName = !wanted.isEmpty() && IsKnown(wanted) ? wanted : LocaleCharset();
    FUtf8 = IsUtf8Name(FName);
}

QByteArray TCodePage::Encode(QStringView text) const
{
    if (FUtf8)
        return text.toUtf8();
    return EncodeWithQuestionMarks(FName, text);
}

QString TCodePage::Decode(QByteArrayView bytes) const
{
    if (FUtf8)
        return QString::fromUtf8(bytes);
    QStringDecoder decoder(FName.toLatin1().constData());
    return decoder.decode(bytes);
}

bool TCodePage::IsKnown(const QString& name)
{
    if (IsUtf8Name(name))
        return true;
    return QStringEncoder(name.toLatin1().constData()).isValid() && QStringDecoder(name.toLatin1().constData()).isValid();
}

QString TCodePage::LocaleCharset()
{
    // The charset follows the environment's locale even when the program never called setlocale.
    static const QString charset = [] {
        locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        QString name = QString::fromLatin1(locale ? nl_langinfo_l(CODESET, locale) : "ANSI_X3.4-1968");
        if (locale)
            freelocale(locale);
        if (name.isEmpty() || name == u"ANSI_X3.4-1968" || name == u"ASCII" || !IsKnown(name))
            name = QStringLiteral("UTF-8");
        return name;
    }();
    return charset;
}

namespace {

std::mutex& AnsiMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const TCodePage>& AnsiSlot()
{
    static std::shared_ptr<const TCodePage> slot = std::make_shared<TCodePage>();
    return slot;
}

} // namespace

const TCodePage& AnsiCodePage()
{
    // The previous page stays alive (kept by the history below) so a reference taken before a
    // change never dangles.
    std::lock_guard lock(AnsiMutex());
    return *AnsiSlot();
}

void SetAnsiCodePage(const QString& name)
{
    static std::vector<std::shared_ptr<const TCodePage>> history;
    std::lock_guard lock(AnsiMutex());
    history.push_back(AnsiSlot());
    AnsiSlot() = std::make_shared<TCodePage>(name);
}
