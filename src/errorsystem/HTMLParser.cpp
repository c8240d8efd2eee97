#include "errorsystem/HTMLParser.h"
#include <algorithm>
#include <QHash>
#include <vector>

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

// Where one piece of parameter text ends: after a closing quote (kept in the piece) or at a blank
// outside quotes (not kept), else at the end of the text.
struct TPieceEnd {
    qsizetype End;
    qsizetype NextStart;
};

TPieceEnd FindPieceEnd(QStringView text, qsizetype start, qsizetype close)
{
    bool inDouble = false;
    bool inSingle = false;
    for (qsizetype i = start; i < close; ++i) {
        const QChar c = text.at(i);
        if (c == u'"' || c == u'\'') {
            if (c == u'"' && !inSingle)
                inDouble = !inDouble;
            else if (c == u'\'' && !inDouble)
                inSingle = !inSingle;
            if (!inDouble && !inSingle)
                return {i + 1, i + 1};
        } else if (c == u' ' && !inDouble && !inSingle) {
            return {i, i + 1};
        }
    }
    return {close, close};
}

// The pieces of all tags that end at one ">". A piece always starts with both quote flags off, so
// two splits that reach the same start go on identically from there: a later split joins the
// chain of pieces an earlier one made, and every text is split at most once per way of entering it.
class TParamGraph {
public:
    TParamGraph(const QString& text, qsizetype first, qsizetype close)
        : FText(text), FFirst(first), FClose(close), FStartNode(static_cast<size_t>(close - first + 1), Unknown)
    {
    }

    // The first piece of the parameters from start (flags off) up to the ">".
    int Split(qsizetype start)
    {
        std::vector<qsizetype> waiting; // piece starts whose first non-empty piece is not known yet
        int previous = -1;
        int head = End;
        const auto link = [&](int node) {
            for (qsizetype at : waiting)
                StartNode(at) = node;
            waiting.clear();
            if (previous >= 0)
                FNodes[static_cast<size_t>(previous)].Next = node;
            else
                head = node;
        };
        for (;;) {
            if (StartNode(start) != Unknown) {
                link(StartNode(start));
                return head;
            }
            waiting.push_back(start);
            if (start >= FClose) {
                link(End);
                return head;
            }
            const TPieceEnd piece = FindPieceEnd(QStringView(FText), start, FClose);
            const QStringView trimmed = TrimBlanksAndControls(QStringView(FText).mid(start, piece.End - start));
            if (!trimmed.isEmpty()) {
                const int node = AddNode(trimmed);
                link(node);
                previous = node;
            }
            start = piece.NextStart;
        }
    }

    bool Covers(qsizetype start, qsizetype close) const noexcept { return close == FClose && start >= FFirst && start <= FClose; }
    int Next(int node) const { return FNodes[static_cast<size_t>(node)].Next; }
    const QString& Piece(int node) const { return FNodes[static_cast<size_t>(node)].Text; }

    // The first piece from node on whose name is Name (case-folded); End when there is none.
    int FirstNamed(int node, const QString& foldedName)
    {
        std::vector<int>& memo = FFirstNamed[foldedName];
        memo.resize(FNodes.size(), Unknown);
        std::vector<int> visited;
        int found = End;
        for (int n = node; n != End; n = Next(n)) {
            if (memo[static_cast<size_t>(n)] != Unknown) {
                found = memo[static_cast<size_t>(n)];
                break;
            }
            visited.push_back(n);
            if (FNodes[static_cast<size_t>(n)].FoldedName == foldedName) {
                found = n;
                break;
            }
        }
        for (int n : visited)
            memo[static_cast<size_t>(n)] = found;
        return found;
    }

    static constexpr int End = -1;

private:
    static constexpr int Unknown = -2;

    struct TNode {
        QString Text;
        QString FoldedName; // the part before "=", case-folded; null without "="
        int Next = End;
    };

    int& StartNode(qsizetype at) { return FStartNode[static_cast<size_t>(at - FFirst)]; }

    int AddNode(QStringView text)
    {
        TNode node;
        node.Text = text.toString();
        const qsizetype equals = node.Text.indexOf(u'=');
        if (equals >= 0)
            node.FoldedName = node.Text.left(equals).toCaseFolded();
        FNodes.push_back(std::move(node));
        return static_cast<int>(FNodes.size() - 1);
    }

    QString FText; // shared with the parser, not copied
    qsizetype FFirst;
    qsizetype FClose;
    std::vector<int> FStartNode;
    std::vector<TNode> FNodes;
    QHash<QString, std::vector<int>> FFirstNamed;
};

int TParams::Count() const
{
    int count = 0;
    for (int n = FFirst; FGraph && n != TParamGraph::End; n = FGraph->Next(n))
        ++count;
    return count;
}

QString TParams::Strings(int index) const
{
    int n = FFirst;
    for (int i = 0; FGraph && n != TParamGraph::End && i < index; ++i)
        n = FGraph->Next(n);
    if (!FGraph || n == TParamGraph::End || index < 0)
        return QString();
    return FGraph->Piece(n);
}

QStringList TParams::List() const
{
    QStringList list;
    for (int n = FFirst; FGraph && n != TParamGraph::End; n = FGraph->Next(n))
        list.append(FGraph->Piece(n));
    return list;
}

QString TParams::RawValue(QStringView Name) const
{
    if (!FGraph || FFirst == TParamGraph::End)
        return QString();
    const int n = FGraph->FirstNamed(FFirst, Name.toString().toCaseFolded());
    if (n == TParamGraph::End)
        return QString();
    const QString& piece = FGraph->Piece(n);
    return piece.mid(piece.indexOf(u'=') + 1);
}

QStringList SplitTagParams(QStringView rest)
{
    QStringList pieces;
    qsizetype start = 0;
    while (start < rest.size()) {
        const TPieceEnd piece = FindPieceEnd(rest, start, rest.size());
        AppendPiece(pieces, rest.mid(start, piece.End - start));
        start = piece.NextStart;
    }
    return pieces;
}

QString TTag::GetName() const
{
    QString name = Text().left(FNameLength).toString();
    for (QChar& c : name)
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - (u'a' - u'A'));
    return name;
}

QStringView TTag::Text() const noexcept { return QStringView(FParser->FText).mid(FTextStart, FTextLength); }

const TParams& TTag::Params() const
{
    if (!FParams) {
        // The parameters start after the blank that ends the name.
        if (FNameLength < FTextLength)
            FParams.emplace(FParser->ParamsOf(FTextStart + FNameLength + 1, FTextStart + FTextLength));
        else
            FParams.emplace();
    }
    return *FParams;
}

THtmlParser::THtmlParser(QString Text) : FText(std::move(Text)) {}

TParams THtmlParser::ParamsOf(qsizetype restStart, qsizetype close)
{
    if (!FGraph || !FGraph->Covers(restStart, close)) {
        FGraph = std::make_shared<TParamGraph>(FText, restStart, close);
    }
    return TParams(FGraph, FGraph->Split(restStart));
}

void THtmlParser::SetText(const QString& text)
{
    FText = text;
    FClose = TSearch();
    FBlank = TSearch();
    FGraph.reset();
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
    const qsizetype textLength = close - open - 1;
    const qsizetype blank = FindFrom(u' ', open + 1, FBlank);
    const qsizetype nameLength = blank >= 0 && blank < close ? blank - open - 1 : textLength;
    FTag.emplace(this, open + 1, textLength, nameLength);
    return true;
}
