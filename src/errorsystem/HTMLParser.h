#pragma once
#include <QString>
#include <QStringList>
#include <QStringView>
#include <memory>
#include <optional>

// A small tag tokenizer for the error system's XML-like files. It knows no quoting at tag level:
// a ">" inside an attribute value ends the tag there, and a "<" inside a tag is found again as
// the start of a further tag. Work stays linear in the text, whatever the text holds.

class TParamGraph;

// The parameters of a tag as written: "NAME=value" pieces, a lone "/" and the like. Tags that
// share their closing ">" share the pieces they have in common, so a run of nested tags is split
// once; the parameters stay valid after the parser has moved on.
class TParams {
public:
    TParams() = default;
    TParams(std::shared_ptr<TParamGraph> graph, int first) : FGraph(std::move(graph)), FFirst(first) {}

    int Count() const;
    QString Strings(int index) const;
    QStringList List() const;
    // The part after the first "=" of the first parameter whose part before it equals Name
    // without regard to letter case; empty when there is none.
    QString RawValue(QStringView Name) const;

private:
    std::shared_ptr<TParamGraph> FGraph;
    int FFirst = -1;
};

class THtmlParser;

// One tag: the characters strictly between "<" and ">". Valid until the parser's next tag.
class TTag {
public:
    TTag(THtmlParser* parser, qsizetype textStart, qsizetype textLength, qsizetype nameLength)
        : FParser(parser), FTextStart(textStart), FTextLength(textLength), FNameLength(nameLength)
    {
    }

    QStringView Text() const noexcept;
    // The length of the name, the part before the first blank.
    qsizetype NameLength() const noexcept { return FNameLength; }
    // The name with ASCII letters in upper case.
    QString GetName() const;
    // The rest after the name's blank, split into parameters on first use.
    const TParams& Params() const;

private:
    THtmlParser* FParser;
    qsizetype FTextStart;
    qsizetype FTextLength;
    qsizetype FNameLength;
    mutable std::optional<TParams> FParams;
};

// Splits a tag's parameter text: a blank outside quotes ends a piece, and so does a quote
// character after which neither double nor single quotes are open (the piece keeps it). Pieces
// are trimmed; empty ones are dropped.
QStringList SplitTagParams(QStringView rest);

class THtmlParser {
public:
    THtmlParser() = default;
    explicit THtmlParser(QString Text);
    THtmlParser(const THtmlParser&) = delete;
    THtmlParser& operator=(const THtmlParser&) = delete;

    const QString& Text() const noexcept { return FText; }
    void SetText(const QString& text);
    // Position 0 and no current tag.
    void GotoBeginning() noexcept;
    // Moves to the next tag; false, with the position at the end, when there is none.
    bool NextTag();
    // The current tag, valid until the next call of NextTag; none when there is no current tag.
    const TTag* GetTag() const noexcept { return FTag ? &*FTag : nullptr; }
    // 1-based position of the current tag's "<" (0 at the beginning).
    qsizetype Position() const noexcept { return FPosition; }

private:
    friend class TTag;
    // The parameters of the text from restStart up to the ">" at close.
    TParams ParamsOf(qsizetype restStart, qsizetype close);

    // The last search for one character: searches only move forward, so an answer at or after
    // the new start is still the first one there.
    struct TSearch {
        qsizetype From = -1;
        qsizetype Found = -1;
    };
    qsizetype FindFrom(QChar c, qsizetype from, TSearch& search) const;

    QString FText;
    qsizetype FPosition = 0;
    std::optional<TTag> FTag;
    TSearch FClose;
    TSearch FBlank;
    // The pieces found so far between the current ">" and the tags that end there.
    std::shared_ptr<TParamGraph> FGraph;
};
