#pragma once
#include "errorsystem/ErrorSystem_terminal.h"
#include <QStringList>
#include <functional>
#include <vector>

// Error texts: every code is unique over all registered text lists, so its text can be found
// without knowing which list holds it. Lists read and write the ERRORSYSTEM file dialect.
// Like the terminals, the lists are not locked: one thread at a time.

inline constexpr std::int32_t _coImportDoubleERRORSYSTEM = -1100;
inline constexpr std::int32_t _coImportDoubleNEWERRORTEXT = -1101;
inline constexpr std::int32_t _coImportDoubleTEXT = -1102;
inline constexpr std::int32_t _coImportEndWithoutBegin = -1103;
inline constexpr std::int32_t _coImportUnknownTreeCommand = -1104;
inline constexpr std::int32_t _coImportMissingParams = -1105;
inline constexpr std::int32_t _coImportTooManyParams = -1106;
inline constexpr std::int32_t _coImportErrorInOneParams = -1107;

// The line-break marker in texts.
inline const QString VirtualEnter = QStringLiteral("||");

class TErrorTextItem;
class TErrorTextList;

enum TRegisterAction { catAdd = 0, catRemove = 1 };

using TGetTextEvent = std::function<void(TErrorTextItem* Sender, QString& DisplayText)>;

// One error text: its code, its lines and a few free numbers.
class TErrorTextItem : public TInternalDoErrorCollectionItem {
public:
    // Appends the item to the collection with the next free code.
    explicit TErrorTextItem(TCollection* collection);
    ~TErrorTextItem() override;

    std::int32_t ErrorCode() const noexcept { return FErrorCode; }
    // Raises Exception when another item of any registered list has the code already.
    void SetErrorCode(std::int32_t Value);
    const QStringList& Texts() const noexcept { return FTexts; }
    void SetTexts(const QStringList& lines) { FTexts = lines; }
    // The lines joined by CR LF, passed through OnGetText.
    QString Text();
    // "||" becomes a line break; the result is split into lines.
    void SetText(const QString& value);
    std::int32_t Priority() const noexcept { return FPriority; }
    void SetPriority(std::int32_t value) noexcept { FPriority = value; }
    std::int32_t Typ() const noexcept { return FTyp; }
    void SetTyp(std::int32_t value) noexcept { FTyp = value; }
    bool VisibleInList() const noexcept { return FVisibleInList; }
    void SetVisibleInList(bool value) noexcept { FVisibleInList = value; }
    std::int32_t DBErrorCode() const noexcept { return FDBErrorCode; }
    void SetDBErrorCode(std::int32_t value) noexcept { FDBErrorCode = value; }
    std::int32_t Categories() const noexcept { return FCategories; }
    // Files the item's code in a category of category list Value when category selection is on;
    // the property then always holds -1.
    void SetCategories(std::int32_t Value);

    TGetTextEvent OnGetText;

    // Copies the code (without the uniqueness test), priority, tag, lines, type and visibility.
    void Assign(const TCollectionItem& source) override;
    QString GetDisplayName() const override;

private:
    friend void RegisterTextList(TErrorTextList* Item, TRegisterAction Action);
    // Changes the code and keeps the count of codes in use up to date.
    void StoreCode(std::int32_t code);

    TErrorTextList* FList = nullptr;
    std::int32_t FErrorCode = 0;
    QStringList FTexts;
    std::int32_t FPriority = 0;
    std::int32_t FTyp = 0;
    bool FVisibleInList = true;
    std::int32_t FCategories = 0;
    std::int32_t FDBErrorCode = -1;
};

class TErrorTextItems : public TTypedCollection<TErrorTextItem> {
public:
    explicit TErrorTextItems(TErrorTextList* list);
    TErrorTextList* List() const noexcept { return FList; }

private:
    TErrorTextList* FList;
};

// Where the list's dialog entry points get their file name. Returns false when the user cancels;
// FilterIndex is 1-based, as the filter string counts its choices.
enum class TFileDialogKind { Save, Open };
using TFileChooser = std::function<bool(TFileDialogKind Kind, const QString& Filter, QString& FileName, int& FilterIndex)>;
// The windows install their file dialogs here; without a chooser the entry points do nothing.
void SetErrorTextFileChooser(TFileChooser chooser);

// A component holding error texts; it registers itself for the look-ups while it exists.
class TErrorTextList : public TInternalDoErrorComponent {
    Q_OBJECT

public:
    explicit TErrorTextList(QObject* owner = nullptr);
    ~TErrorTextList() override;

    TErrorTextItems& Items() noexcept { return FItems; }
    const TErrorTextItems& Items() const noexcept { return FItems; }
    // The first item of this list with that code, or none.
    TErrorTextItem* GetTextItem(std::int32_t Code) const noexcept;

    // Writes the items in the ERRORSYSTEM dialect, replacing the file. I/O errors raise.
    void ExportToXML(const QString& FileName) const;
    // Reads an ERRORSYSTEM file into the list: 0, or the import error (reported through the
    // InternalErrors policy first). A missing file raises.
    std::int32_t ImportFromXML(const QString& FileName);
    // One line per item: with ExportType 1 or 3 "E" + code + " - " + text, with 2 the text alone,
    // otherwise an empty line.
    void ExportToFile(const QString& FileName, std::int32_t ExportType) const;

    // Dialog entry points; they take the file name from the installed chooser.
    virtual void ExportItems();
    virtual void ImportItems();
    virtual void RunEditor() {}

private:
    friend class TErrorTextItem;
    friend void RegisterTextList(TErrorTextList* Item, TRegisterAction Action);

    TErrorTextItems FItems;
    bool FRegistered = false;
};

void RegisterTextList(TErrorTextList* Item, TRegisterAction Action);
// The registered lists in creation order.
const std::vector<TErrorTextList*>& TextLists();
// The first item with that code in the first registered list that has one.
TErrorTextItem* GetErrorTextItem(std::int32_t Code);
// That item's text, or empty.
QString GetErrorText(std::int32_t ErrorCode);
// The code most recently given to a text item.
std::int32_t LastErrorCode();
// The lowest code above LastErrorCode that no item of any registered list has.
std::int32_t GetNextErrorCode();
// The log system's own list of internal and import texts; exists while the log system runs.
TErrorTextList* GlobalList();
// The wording of an internal or import code as the system registers it, also when no list holds
// it (empty for other codes).
QString BuiltInErrorText(std::int32_t code);
// The registered text of a code, or its built-in wording when no list holds it.
QString RegisteredOrBuiltInErrorText(std::int32_t code);

// Reading attributes of ERRORSYSTEM tags. The raw value of the first parameter of that name
// loses its first and last characters; "&#34;" in the rest becomes a double quote (only the first
// one when AllQuotes is false, as the category files have it).
class TTag;
QString UnquoteAttribute(const QString& raw, bool AllQuotes = true);
bool ReadBoolAttribute(const TTag& tag, QStringView name, bool defaultValue, bool AllQuotes = true);
std::int32_t ReadIntegerAttribute(const TTag& tag, QStringView name, std::int32_t defaultValue, bool AllQuotes = true);
QString ReadStringAttribute(const TTag& tag, QStringView name, const QString& defaultValue, bool AllQuotes = true);
// The upper-cased name of a tag, or empty when the name is too long to be one the files use
// (which keeps a huge run of text between "<" and ">" cheap).
QString ShortTagName(const TTag& tag);

// Called by the log system's start-up and shut-down.
void CreateErrorTextGlobals();
void FreeErrorTextGlobals() noexcept;
