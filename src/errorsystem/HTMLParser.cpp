#include "errorsystem/HTMLParser.h"
#include <algorithm>

namespace {

bool IsTrimmed(QChar c) noexcept { return c.unicode() <= u' '; }

QStringView TrimBlanksAndControls(QStringView piece)
{
    while (!piece.isEmpty() && IsTrimmed(piece.front()))
        piece = piece.mid(1);
    while (!piece.isEmpty() && IsTrimmed(piece.back()))
        piece.chop(1);
    return piece;
}

void AppendPiece(QStringList& pieces, QStringView piece)
{
    const QStringView trimmed = TrimBlanksAndControls(piece);
    if (!trimmed.isEmpty())
        pieces.append(trimmed.toString());
}

} // namespace

QString TParams::RawValue(QStringView Name) const
{
    for (const QString& item : FItems) {
        const qsizetype equals = item.indexOf(u'=');
        if (equals >= 0 && QStringView(item).left(equals).compare(Name, Qt::CaseInsensitive) == 0)
            return item.mid(equals + 1);
    }
    return QString();
}

QStringList SplitTagParams(QStringView rest)
{
    QStringList pieces;
    bool inDouble = false;
    bool inSingle = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const QChar c = rest.at(i);
        if (c == u'"' || c == u'\'') {
            if (c == u'"' && !inSingle)
                inDouble = !inDouble;
            else if (c == u'\'' && !inDouble)
                inSingle = !inSingle;
            if (!inDouble && !inSingle) {
                AppendPiece(pieces, rest.mid(start, i + 1 - start));
                start = i + 1;
            }
        } else if (c == u' ' && !inDouble && !inSingle) {
            AppendPiece(pieces, rest.mid(start, i - start));
            start = i + 1;
        }
    }
    if (start < rest.size())
        AppendPiece(pieces, rest.mid(start));
    return pieces;
}

QString TTag::GetName() const
{
    QString name = FText.left(FNameLength).toString();
    for (QChar& c : name)
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - (u'a' - u'A'));
    return name;
}

const TParams& TTag::Params() const
{
    if (!FParams) {
        // The parameters start after the blank that ends the name.
        const QStringView rest = FNameLength < FText.size() ? FText.mid(FNameLength + 1) : QStringView();
        FParams.emplace(SplitTagParams(rest));
    }
    return *FParams;
}

void THtmlParser::SetText(const QString& text)
{
    FText = text;
    FClose = TSearch();
    FBlank = TSearch();
    GotoBeginning();
}

void THtmlParser::GotoBeginning() noexcept
{
    FPosition = 0;
    FTag.reset();
}

qsizetype THtmlParser::FindFrom(QChar c, qsizetype from, TSearch& search) const
{
    const bool reusable = search.From >= 0 && search.From <= from && (search.Found < 0 || search.Found >= from);
    if (!reusable) {
        search.From = from;
        search.Found = FText.indexOf(c, from);
    }
    return search.Found;
}

bool THtmlParser::NextTag()
{
    if (FText.isEmpty())
        return false;
    if (FTag)
        ++FPosition;
    FPosition = std::clamp<qsizetype>(FPosition, 1, FText.size());
    const qsizetype open = FText.indexOf(u'<', FPosition - 1);
    const qsizetype close = open >= 0 ? FindFrom(u'>', open, FClose) : -1;
    if (open < 0 || close < 0) {
        FPosition = FText.size();
        FTag.reset();
        return false;
    }
    FPosition = open + 1;
    const QStringView text = QStringView(FText).mid(open + 1, close - open - 1);
    const qsizetype blank = FindFrom(u' ', open + 1, FBlank);
    const qsizetype nameLength = blank >= 0 && blank < close ? blank - open - 1 : text.size();
    FTag.emplace(text, nameLength);
    return true;
}
