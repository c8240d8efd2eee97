#include "errorsystem/ErrorSystem_texts.h"
#include "errorsystem/ErrorSystem_categories.h"
#include "errorsystem/HTMLParser.h"
#include "platform/IniFile.h"
#include "platform/TextFile.h"
#include <QFileInfo>
#include <algorithm>
#include <memory>
#include <unordered_map>

namespace {

const QString CrLf = QStringLiteral("\r\n");

struct TBuiltInText {
    std::int32_t Code;
    const char* Text;
};

// The system's own texts in the order they are registered.
constexpr TBuiltInText BuiltInTexts[] = {
    {_coCannotDeactivateBeforeActivate, "ErrorSystem internal: Cannot send deactivate request while Item was not activated."},
    {_coDestAlreadyRegistered, "ErrorSystem internal: Destination is already registered."},
    {_coDestNotFound, "ErrorSystem internal: Destination was not found."},
    {_coCannotChangeProperty, "ErrorSystem internal: Cannot change property, Item is active."},
    {_coNoLocalCodeFound, "ErrorSystem internal: No local code was found. %s"},
    {_coUnknownDataFormat, "ErrorSystem internal: Invalid format."},
    {_coUniqueErrorCodeError, "ErrorSystem internal: This ErrorCode is already used."},
    {_coImportDoubleERRORSYSTEM, "ErrorSystem Import: <ERRORSYSTEM> is already opened."},
    {_coImportDoubleNEWERRORTEXT, "ErrorSystem Import: <NEWERRORTEXT> is already opened."},
    {_coImportDoubleTEXT, "ErrorSystem Import: <TEXT> is already opened."},
    {_coImportEndWithoutBegin, "ErrorSystem Import: End of the sequence without its begin. (%s)"},
    {_coImportUnknownTreeCommand, "ErrorSystem Import: This tag is not supported on this level. (%s)"},
    {_coImportMissingParams, "ErrorSystem Import: Missing parameters. (%s)"},
    {_coImportTooManyParams, "ErrorSystem Import: Too many parameters. (%s)"},
    {_coImportErrorInOneParams, "ErrorSystem Import: Error detected in One-Param parameter. (%s)"},
};

// The registry and the count of codes are defined before GlobalList, so that they outlive it
// also when the program ends without shutting the log system down.
std::vector<TErrorTextList*> FTextLists;
std::vector<TErrorTextList*>& Registry() { return FTextLists; }

std::int32_t FLastErrorCode = 0;

// How many items of registered lists have each code: the uniqueness test and the search for the
// next free code stay cheap however many texts a file brings.
std::unordered_map<std::int32_t, int> FCodesInUse;
std::unordered_map<std::int32_t, int>& CodesInUse() { return FCodesInUse; }

void CountCode(std::int32_t code, int delta)
{
    auto& codes = CodesInUse();
    const int count = (codes[code] += delta);
    if (count <= 0)
        codes.erase(code);
}

bool CodeInUse(std::int32_t code) { return CodesInUse().count(code) > 0; }
std::unique_ptr<TErrorTextList> FGlobalList;
TFileChooser FFileChooser;

// Codes wrap around at the ends of the 32-bit range instead of overflowing.
std::int32_t NextCode(std::int32_t code) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(code) + 1U); }

// The policy numbers of the files map each policy to itself.
constexpr TSystemErrors PolicyOfNumber[] = {seRaise, seLog, seHide, seWriteToDefaultFile};
constexpr int NumberOfPolicy[] = {0, 1, 2, 3};

// A number outside the table has no policy: the current one stays.
TSystemErrors PolicyFromNumber(std::int32_t number, TSystemErrors current)
{
    return number >= 0 && number < static_cast<std::int32_t>(std::size(PolicyOfNumber)) ? PolicyOfNumber[number] : current;
}

QString Attribute(const QString& name, const QString& value) { return QStringLiteral(" %1=\"%2\"").arg(name, value); }

QString NewErrorTextLine(TErrorTextItem& item)
{
    QString line = QStringLiteral("  <NEWERRORTEXT") + Attribute(QStringLiteral("ERRORCODE"), QString::number(item.ErrorCode()));
    const QString text = item.Text();
    if (!text.isEmpty())
        line += Attribute(QStringLiteral("TEXT"), QString(text).replace(u'"', QStringLiteral("&#34;")));
    if (item.Priority() != 0)
        line += Attribute(QStringLiteral("PRIORITY"), QString::number(item.Priority()));
    if (item.Tag() != 0)
        line += Attribute(QStringLiteral("TAG"), QString::number(item.Tag()));
    if (item.Typ() != 0)
        line += Attribute(QStringLiteral("TYP"), QString::number(item.Typ()));
    if (!item.VisibleInList())
        line += Attribute(QStringLiteral("VISIBLEINLIST"), QStringLiteral("F"));
    const int policy = NumberOfPolicy[item.InternalErrors()];
    if (policy > 0)
        line += Attribute(QStringLiteral("INTERNALERRORS"), QString::number(policy));
    return line + QStringLiteral(" />");
}

// State of one ERRORSYSTEM import.
struct TTextImport {
    TErrorTextList& List;
    bool Inside = false;
    bool RespectCodes = true;

    std::int32_t Apply(const QString& name, const TTag& tag)
    {
        if (name == u"ERRORSYSTEM") {
            if (Inside)
                return _coImportDoubleERRORSYSTEM;
            ReadIntegerAttribute(tag, u"VERSION", 0);
            Inside = true;
        } else if (name == u"/ERRORSYSTEM") {
            if (!Inside)
                return _coImportEndWithoutBegin;
            Inside = false;
        } else if (name == u"RESPECTECODES") {
            RespectCodes = ReadBoolAttribute(tag, u"VALUE", true);
        } else if (name == u"CLEARALLTEXT") {
            if (!Inside)
                return _coImportUnknownTreeCommand;
            List.Items().Clear();
        } else if (name == u"NEWERRORTEXT") {
            if (!Inside)
                return _coImportUnknownTreeCommand;
            ReadItem(tag, *List.Items().Add());
        }
        return 0;
    }

    void ReadItem(const TTag& tag, TErrorTextItem& item) const
    {
        if (RespectCodes)
            item.SetErrorCode(ReadIntegerAttribute(tag, u"ERRORCODE", 0));
        item.SetText(ReadStringAttribute(tag, u"TEXT", item.Text()));
        item.SetPriority(ReadIntegerAttribute(tag, u"PRIORITY", item.Priority()));
        item.SetTyp(ReadIntegerAttribute(tag, u"TYP", item.Typ()));
        item.SetTag(ReadIntegerAttribute(tag, u"TAG", item.Tag()));
        const std::int32_t policy = ReadIntegerAttribute(tag, u"INTERNALERRORS", NumberOfPolicy[item.InternalErrors()]);
        item.SetInternalErrors(PolicyFromNumber(policy, item.InternalErrors()));
        item.SetVisibleInList(ReadBoolAttribute(tag, u"VISIBLEINLIST", item.VisibleInList()));
    }
};

} // namespace

// ---- attributes ----

QString UnquoteAttribute(const QString& raw, bool AllQuotes)
{
    if (raw.isEmpty())
        return raw;
    QString value = raw.mid(1, raw.size() - 2);
    const QString quote = QStringLiteral("&#34;");
    if (AllQuotes) {
        value.replace(quote, QStringLiteral("\""));
    } else {
        const qsizetype at = value.indexOf(quote);
        if (at >= 0)
            value.replace(at, quote.size(), u'"');
    }
    return value;
}

bool ReadBoolAttribute(const TTag& tag, QStringView name, bool defaultValue, bool AllQuotes)
{
    const QString value = UnquoteAttribute(tag.Params().RawValue(name), AllQuotes);
    if (value == u"T")
        return true;
    if (value == u"F")
        return false;
    return defaultValue;
}

std::int32_t ReadIntegerAttribute(const TTag& tag, QStringView name, std::int32_t defaultValue, bool AllQuotes)
{
    int value = 0;
    return TIniFile::TryParseInteger(UnquoteAttribute(tag.Params().RawValue(name), AllQuotes), value) ? value : defaultValue;
}

QString ReadStringAttribute(const TTag& tag, QStringView name, const QString& defaultValue, bool AllQuotes)
{
    const QString raw = tag.Params().RawValue(name);
    return raw.isEmpty() ? defaultValue : UnquoteAttribute(raw, AllQuotes);
}

QString ShortTagName(const TTag& tag)
{
    constexpr qsizetype LongestKnownName = 32;
    return tag.NameLength() <= LongestKnownName ? tag.GetName() : QString();
}

// ---- TErrorTextItem ----

TErrorTextItem::TErrorTextItem(TCollection* collection)
    : TInternalDoErrorCollectionItem(collection), FList(dynamic_cast<TErrorTextItems*>(collection) ? static_cast<TErrorTextItems*>(collection)->List() : nullptr)
{
    // The item is in its list with code 0 while the next free code is looked for.
    if (FList && FList->FRegistered)
        CountCode(FErrorCode, 1);
    SetErrorCode(GetNextErrorCode());
}

TErrorTextItem::~TErrorTextItem()
{
    if (FList && FList->FRegistered)
        CountCode(FErrorCode, -1);
}

void TErrorTextItem::StoreCode(std::int32_t code)
{
    if (FList && FList->FRegistered) {
        CountCode(FErrorCode, -1);
        CountCode(code, 1);
    }
    FErrorCode = code;
}

void TErrorTextItem::SetErrorCode(std::int32_t Value)
{
    if (Value == FErrorCode)
        return;
    if (CodeInUse(Value)) {
        throw Exception(RegisteredOrBuiltInErrorText(_coUniqueErrorCodeError) + QStringLiteral(" ErrorCode=") + QString::number(Value));
    }
    StoreCode(Value);
    FLastErrorCode = Value;
}

QString TErrorTextItem::Text()
{
    QString text = JoinTextLines(FTexts);
    if (text.size() >= 2 && text.endsWith(CrLf))
        text.chop(2);
    if (OnGetText)
        OnGetText(this, text);
    return text;
}

void TErrorTextItem::SetText(const QString& value) { FTexts = SplitTextLines(QString(value).replace(VirtualEnter, CrLf)); }

void TErrorTextItem::SetCategories(std::int32_t Value)
{
    if (Value >= 0 && WriteBySelecting())
        FileErrorCodeBySelecting(Value, FErrorCode);
    FCategories = -1;
}

void TErrorTextItem::Assign(const TCollectionItem& source)
{
    const auto* other = dynamic_cast<const TErrorTextItem*>(&source);
    if (!other) {
        TInternalDoErrorCollectionItem::Assign(source);
        return;
    }
    StoreCode(other->FErrorCode);
    FPriority = other->FPriority;
    SetTag(other->Tag());
    FTexts = other->FTexts;
    FTyp = other->FTyp;
    FVisibleInList = other->FVisibleInList;
}

QString TErrorTextItem::GetDisplayName() const
{
    return QStringLiteral("E%1 - ").arg(FErrorCode) + const_cast<TErrorTextItem*>(this)->Text();
}

TErrorTextItems::TErrorTextItems(TErrorTextList* list) : TTypedCollection<TErrorTextItem>(list), FList(list) {}

// ---- TErrorTextList ----

TErrorTextList::TErrorTextList(QObject* owner) : TInternalDoErrorComponent(owner), FItems(this) { RegisterTextList(this, catAdd); }

TErrorTextList::~TErrorTextList()
{
    RegisterTextList(this, catRemove);
    FItems.Clear();
}

TErrorTextItem* TErrorTextList::GetTextItem(std::int32_t Code) const noexcept
{
    for (int i = 0; i < FItems.Count(); ++i)
        if (FItems.Items(i)->ErrorCode() == Code)
            return FItems.Items(i);
    return nullptr;
}

void TErrorTextList::ExportToXML(const QString& FileName) const
{
    QString text = QStringLiteral("<ERRORSYSTEM version=\"1\">") + CrLf;
    text += QStringLiteral("  <RESPECTECODES VALUE=\"T\" /><CLEARALLTEXT />") + CrLf;
    for (int i = 0; i < FItems.Count(); ++i)
        text += NewErrorTextLine(*FItems.Items(i)) + CrLf;
    text += QStringLiteral("</ERRORSYSTEM>") + CrLf;
    SaveTextFile(FileName, text);
}

std::int32_t TErrorTextList::ImportFromXML(const QString& FileName)
{
    auto parser = std::make_unique<THtmlParser>(JoinTextLines(SplitTextLines(LoadTextFile(FileName))));
    TTextImport import{*this};
    std::int32_t result = 0;
    QString name;
    while (result == 0 && parser->NextTag()) {
        const TTag& tag = *parser->GetTag();
        name = ShortTagName(tag);
        result = import.Apply(name, tag);
    }
    parser.reset();
    if (result != 0)
        DoError(result, name);
    return result;
}

void TErrorTextList::ExportToFile(const QString& FileName, std::int32_t ExportType) const
{
    QString text;
    for (int i = 0; i < FItems.Count(); ++i) {
        TErrorTextItem& item = *FItems.Items(i);
        if (ExportType == 2)
            text += item.Text();
        else if (ExportType == 1 || ExportType == 3 || ExportType == 4)
            text += item.GetDisplayName();
        text += CrLf;
    }
    SaveTextFile(FileName, text);
}

void TErrorTextList::ExportItems()
{
    QString fileName;
    int filter = 1;
    if (!FFileChooser
        || !FFileChooser(TFileDialogKind::Save,
                         QStringLiteral("Textové soubory (*.txt)|*.txt|Pouze texty (*.txt)|*.txt|XML text (*.XML)|*.XML|Všechny soubory (*.*)|*.*"),
                         fileName, filter))
        return;
    if (QFileInfo(fileName).suffix().isEmpty())
        fileName += filter == 3 ? QStringLiteral(".XML") : QStringLiteral(".txt");
    if (filter == 3)
        ExportToXML(fileName);
    else
        ExportToFile(fileName, filter);
}

void TErrorTextList::ImportItems()
{
    QString fileName;
    int filter = 1;
    if (FFileChooser && FFileChooser(TFileDialogKind::Open, QStringLiteral("XML text (*.XML)|*.XML|Všechny soubory (*.*)|*.*"), fileName, filter))
        ImportFromXML(fileName);
}

void SetErrorTextFileChooser(TFileChooser chooser) { FFileChooser = std::move(chooser); }

// ---- registry ----

void RegisterTextList(TErrorTextList* Item, TRegisterAction Action)
{
    auto& lists = Registry();
    const auto it = std::find(lists.begin(), lists.end(), Item);
    const bool add = Action == catAdd && it == lists.end();
    const bool remove = Action == catRemove && it != lists.end();
    if (!add && !remove)
        return;
    if (add)
        lists.push_back(Item);
    else
        lists.erase(it);
    Item->FRegistered = add;
    for (int i = 0; i < Item->Items().Count(); ++i)
        CountCode(Item->Items().Items(i)->FErrorCode, add ? 1 : -1);
}

const std::vector<TErrorTextList*>& TextLists() { return Registry(); }

TErrorTextItem* GetErrorTextItem(std::int32_t Code)
{
    for (TErrorTextList* list : Registry())
        if (TErrorTextItem* item = list->GetTextItem(Code))
            return item;
    return nullptr;
}

QString GetErrorText(std::int32_t ErrorCode)
{
    TErrorTextItem* item = GetErrorTextItem(ErrorCode);
    return item ? item->Text() : QString();
}

std::int32_t LastErrorCode() { return FLastErrorCode; }

std::int32_t GetNextErrorCode()
{
    // The lowest code from LastErrorCode + 1 on that no item of a registered list has.
    std::int32_t code = NextCode(FLastErrorCode);
    while (CodeInUse(code))
        code = NextCode(code);
    return code;
}

TErrorTextList* GlobalList() { return FGlobalList.get(); }

QString RegisteredOrBuiltInErrorText(std::int32_t code)
{
    const QString registered = GetErrorText(code);
    return registered.isEmpty() ? BuiltInErrorText(code) : registered;
}

QString BuiltInErrorText(std::int32_t code)
{
    for (const TBuiltInText& entry : BuiltInTexts)
        if (entry.Code == code)
            return QString::fromUtf8(entry.Text);
    return QString();
}

void CreateErrorTextGlobals()
{
    if (FGlobalList)
        return;
    FLastErrorCode = 0;
    FGlobalList = std::make_unique<TErrorTextList>();
    for (const TBuiltInText& entry : BuiltInTexts) {
        TErrorTextItem* item = FGlobalList->Items().Add();
        item->SetErrorCode(entry.Code);
        item->SetText(QString::fromUtf8(entry.Text));
        item->SetVisibleInList(false);
    }
}

void FreeErrorTextGlobals() noexcept { FGlobalList.reset(); }
