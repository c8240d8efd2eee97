#include "errorsystem/ErrorSystem_terminal.h"
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/ErrorSystem_texts.h"
#include <memory>

namespace {

TErrorDestination* RegisteredDestination = nullptr;
std::unique_ptr<TErrorItem> GlobalErrorItem;

[[noreturn]] void RaiseInternal(std::int32_t code) { throw Exception(RegisteredOrBuiltInErrorText(code)); }

// The pattern with its first %s replaced by the argument and "%%" read as "%".
QString FormatWithOneString(const QString& pattern, const QString& argument)
{
    QString result;
    result.reserve(pattern.size() + argument.size());
    bool argumentUsed = false;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        const QChar next = i + 1 < pattern.size() ? pattern.at(i + 1) : QChar();
        if (c == u'%' && next == u'%') {
            result += u'%';
            ++i;
        } else if (c == u'%' && next == u's' && !argumentUsed) {
            result += argument;
            argumentUsed = true;
            ++i;
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace

QString GetFormatErrorText(std::int32_t ErrorCode, const QString& Message)
{
    return FormatWithOneString(GetErrorText(ErrorCode), Message);
}

void DoInternalError(std::int32_t ErrorCode, TSystemErrors Typ, const QString& Message)
{
    switch (Typ) {
    case seRaise:
        throw Exception(GetFormatErrorText(ErrorCode, Message));
    case seLog:
        DoRunTimeError(ErrorCode, Message);
        break;
    case seHide:
        break;
    case seWriteToDefaultFile:
        WriteToFile(GetFormatErrorText(ErrorCode, Message));
        break;
    }
}

std::int32_t DoRunTimeError(std::int32_t Code, const QString& Text)
{
    TErrorItem* item = GlobaItem();
    if (!item)
        RaiseInternal(_coDestNotFound);
    item->SetErrorCode(Code);
    item->SetMessage(Text);
    return item->SendActivate();
}

void TInternalDoErrorComponent::DoError(std::int32_t ErrorCode, const QString& Message)
{
    DoInternalError(ErrorCode, FInternalErrors, Message);
}

void TInternalDoErrorCollectionItem::DoError(std::int32_t ErrorCode, const QString& Message)
{
    DoInternalError(ErrorCode, FInternalErrors, Message);
}

void TInternalDoErrorCollectionItem::Assign(const TCollectionItem& source)
{
    if (const auto* other = dynamic_cast<const TInternalDoErrorCollectionItem*>(&source))
        FInternalErrors = other->FInternalErrors;
}

// ---- TErrorItem ----

void TErrorItem::SetActive(bool Value)
{
    if (!FEnabled || FActive == Value)
        return;
    FActive = Value;
    if (Value)
        SendActivate();
    else
        SendDeactivate();
}

bool TErrorItem::ErrorTerminalEnabled() const noexcept
{
    const TCollection* collection = Collection();
    const auto* terminal = collection ? qobject_cast<const TErrorTerminal*>(collection->Owner()) : nullptr;
    return terminal ? terminal->Enabled() : true;
}

std::int32_t TErrorItem::SendActivate()
{
    if (!ErrorTerminalEnabled()) {
        FLogID = TempLogID;
        return NoValue;
    }
    FStartDate = Now();
    if (OnBeforeActivate)
        OnBeforeActivate(this);
    FLogID = GetErrorDestination()->ActivateError(this, FLastResult);
    if (OnAfterActivate)
        OnAfterActivate(this);
    // A one-shot report is off again at once.
    if (FLogStrategy == lgOnOnly) {
        FActive = false;
        FLogID = NoLogID;
    }
    return FLastResult;
}

std::int32_t TErrorItem::SendDeactivate()
{
    if (!ErrorTerminalEnabled())
        return NoValue;
    if (FLogID == NoLogID)
        DoError(_coCannotDeactivateBeforeActivate, QString());
    else
        GetErrorDestination()->DeactivateError(this, FLastResult);
    FLogID = NoLogID;
    return FLastResult;
}

void TErrorItem::SetErrorCode(std::int32_t value)
{
    if (FActive)
        DoError(_coCannotChangeProperty, QString());
    FErrorCode = value;
}

void TErrorItem::Assign(const TCollectionItem& source)
{
    const auto* other = dynamic_cast<const TErrorItem*>(&source);
    if (!other) {
        TInternalDoErrorCollectionItem::Assign(source);
        return;
    }
    FLastResult = other->FLastResult;
    FLogID = other->FLogID;
    FActive = other->FActive;
    FEnabled = other->FEnabled;
    FErrorCode = other->FErrorCode;
    FLocalCode = other->FLocalCode;
    FLogStrategy = other->FLogStrategy;
    FMessage = other->FMessage;
    OnAfterActivate = other->OnAfterActivate;
    OnBeforeActivate = other->OnBeforeActivate;
}

QString TErrorItem::GetDisplayName() const
{
    const QString text = GetErrorText(FErrorCode);
    const QString hex = QString::number(static_cast<quint32>(FLocalCode), 16).toUpper().rightJustified(4, u'0');
    return QStringLiteral("E%1: L%2 (0x%3) - ").arg(FErrorCode).arg(FLocalCode).arg(hex)
        + (text.isEmpty() ? QStringLiteral(" (not exists)") : text);
}

// ---- TErrorItems ----

TErrorItems::TErrorItems(TErrorTerminal* terminal) : TTypedCollection<TErrorItem>(terminal) {}

TErrorItem* TErrorItems::ByECode(std::int32_t ErrorCode) const noexcept
{
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->ErrorCode() == ErrorCode)
            return Items(i);
    return nullptr;
}

TErrorItem* TErrorItems::ByLCode(std::int32_t LocalCode) const noexcept
{
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->LocalCode() == LocalCode)
            return Items(i);
    return nullptr;
}

// ---- TErrorTerminal ----

TErrorTerminal::TErrorTerminal(QObject* owner) : TInternalDoErrorComponent(owner), FItems(this) {}

std::int32_t TErrorTerminal::SetActiveByLCode(bool Active, std::int32_t LCode, const QString& Msg, std::int32_t ASubCode,
                                              const QString& AData)
{
    TErrorItem* item = FItems.ByLCode(LCode);
    if (!item) {
        DoError(_coNoLocalCodeFound, QStringLiteral("(CompName: %1; LocalCode: %2)").arg(objectName()).arg(LCode));
        return NoValue;
    }
    item->SetMessage(Msg);
    item->SubCode = ASubCode;
    item->Data = AData;
    if (Active && OnBeforeActivateBy)
        OnBeforeActivateBy(this, item);
    item->SetActive(Active);
    if (Active && OnAfterActivateBy)
        OnAfterActivateBy(this, item);
    return item->LastResult();
}

std::int32_t TErrorTerminal::ActivateByLCode(std::int32_t LCode, const QString& Msg, std::int32_t ASubCode, const QString& AData)
{
    return SetActiveByLCode(true, LCode, Msg, ASubCode, AData);
}

std::int32_t TErrorTerminal::DeactivateByLCode(std::int32_t LCode) { return SetActiveByLCode(false, LCode, QString(), 0, QString()); }

void TErrorTerminal::DeactivateAllErrors()
{
    for (int i = 0; i < FItems.Count(); ++i)
        FItems.Items(i)->SetActive(false);
}

// ---- TErrorDestination ----

TErrorDestination::TErrorDestination(QObject* owner) : QObject(owner)
{
    if (RegisteredDestination)
        RaiseInternal(_coDestAlreadyRegistered);
    RegisteredDestination = this;
}

TErrorDestination::~TErrorDestination()
{
    if (RegisteredDestination == this)
        RegisteredDestination = nullptr;
}

std::int32_t TErrorDestination::ActivateError(TErrorItem* Item, std::int32_t& Result)
{
    const std::int32_t logId = GetNextLogID();
    if (OnActivateItem)
        OnActivateItem(this, Item, logId, Result);
    return logId;
}

void TErrorDestination::DeactivateError(TErrorItem* Item, std::int32_t& Result)
{
    if (OnDeactivateItem)
        OnDeactivateItem(this, Item, Item->LogID(), Result);
}

TErrorDestination* GetErrorDestination()
{
    if (!RegisteredDestination)
        RaiseInternal(_coDestNotFound);
    return RegisteredDestination;
}

TErrorItem* GlobaItem() { return GlobalErrorItem.get(); }

void CreateErrorItemGlobals()
{
    if (!GlobalErrorItem)
        GlobalErrorItem = std::make_unique<TErrorItem>();
}

void FreeErrorItemGlobals() noexcept { GlobalErrorItem.reset(); }
