#pragma once
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

// A small tag tokenizer for the error system's XML-like files. It knows no quoting at tag level:
// a ">" inside an attribute value ends the tag there, and a "<" inside a tag is found again as
// the start of a further tag. Work stays linear in the text, whatever the text holds.

// The parameters of a tag as written: "NAME=value" pieces, a lone "/" and the like.
class TParams {
public:
    TParams() = default;
    explicit TParams(QStringList items) : FItems(std::move(items)) {}

    int Count() const noexcept { return static_cast<int>(FItems.size()); }
    const QString& Strings(int index) const { return FItems.at(index); }
    const QStringList& List() const noexcept { return FItems; }
    // The part after the first "=" of the first parameter whose part before it equals Name
    // without regard to letter case; empty when there is none.
    QString RawValue(QStringView Name) const;

private:
    QStringList FItems;
};

// One tag: the characters strictly between "<" and ">".
class TTag {
public:
    // Text is the tag's text; NameLength the length of its name (the part before the first blank).
    TTag(QStringView Text, qsizetype NameLength) : FText(Text), FNameLength(NameLength) {}

    QStringView Text() const noexcept { return FText; }
    qsizetype NameLength() const noexcept { return FNameLength; }
    // The name with ASCII letters in upper case.
    QString GetName() const;
    // Splits the rest after the name's blank into parameters on first use.
    const TParams& Params() const;

private:
    QStringView FText;
    qsizetype FNameLength = 0;
    mutable std::optional<TParams> FParams;
};

// Splits a tag's parameter text: a blank outside quotes ends a piece, and so does a quote
// character after which neither double nor single quotes are open (the piece keeps it). Pieces
// are trimmed; empty ones are dropped.
QStringList SplitTagParams(QStringView rest);

class THtmlParser {
public:
    THtmlParser() = default;
    explicit THtmlParser(QString Text) : FText(std::move(Text)) {}

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
};
