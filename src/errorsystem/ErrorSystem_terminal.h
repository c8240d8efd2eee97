#pragma once
#include "platform/Collection.h"
#include "platform/DateTime.h"
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

// Error terminals: a component's own error numbers (local codes) tied to program-wide error codes,
// switched on and off and reported to the one registered error destination. None of these objects
// is locked: a terminal, its items, GlobaItem and the destination belong to one thread at a time.

// How the error-system classes react to their own internal errors.
enum TSystemErrors : std::uint8_t { seRaise = 0, seLog = 1, seHide = 2, seWriteToDefaultFile = 3 };
// How long an activation lasts.
enum TLogStrategy : std::uint8_t { lgOnOnly = 0, lgReLog = 1, lgChangeMonitoring = 2 };

inline constexpr std::int32_t NoLogID = -1;
inline constexpr std::int32_t TempLogID = -2;
inline constexpr std::int32_t NoValue = -9999;

inline constexpr std::int32_t _coCannotDeactivateBeforeActivate = -1001;
inline constexpr std::int32_t _coDestAlreadyRegistered = -1002;
inline constexpr std::int32_t _coDestNotFound = -1003;
inline constexpr std::int32_t _coCannotChangeProperty = -1004;
inline constexpr std::int32_t _coNoLocalCodeFound = -1005;
inline constexpr std::int32_t _coUnknownDataFormat = -1006;
inline constexpr std::int32_t _coUniqueErrorCodeError = -1007;

// The registered text of ErrorCode (empty when none) with its %s replaced by Message; "%%" stands
// for "%". Any other use of "%" is kept as written, so a hand-written text can never make the
// formatting fail.
QString GetFormatErrorText(std::int32_t ErrorCode, const QString& Message);
// seRaise: raises Exception with the formatted text; seLog: DoRunTimeError(ErrorCode, Message);
// seHide: nothing; seWriteToDefaultFile: the formatted text as a line of the default log file.
void DoInternalError(std::int32_t ErrorCode, TSystemErrors Typ, const QString& Message);
// Reports a run-time error through GlobaItem: its code and message are set, and the result of its
// activation is returned. Raises the "destination not found" text when no destination is
// registered, and also while the log system is not running (there is no GlobaItem then).
std::int32_t DoRunTimeError(std::int32_t Code, const QString& Text);

// A component whose internal errors follow its InternalErrors policy.
class TInternalDoErrorComponent : public QObject {
    Q_OBJECT

public:
    explicit TInternalDoErrorComponent(QObject* owner = nullptr) : QObject(owner) {}

    TSystemErrors InternalErrors() const noexcept { return FInternalErrors; }
    void SetInternalErrors(TSystemErrors value) noexcept { FInternalErrors = value; }

    virtual void DoError(std::int32_t ErrorCode, const QString& Message);

private:
    TSystemErrors FInternalErrors = seRaise;
};

// A collection item whose internal errors follow its InternalErrors policy.
class TInternalDoErrorCollectionItem : public TCollectionItem {
public:
    explicit TInternalDoErrorCollectionItem(TCollection* collection) : TCollectionItem(collection) {}

    TSystemErrors InternalErrors() const noexcept { return FInternalErrors; }
    void SetInternalErrors(TSystemErrors value) noexcept { FInternalErrors = value; }
    std::int32_t Tag() const noexcept { return FTag; }
    void SetTag(std::int32_t value) noexcept { FTag = value; }

    virtual void DoError(std::int32_t ErrorCode, const QString& Message);
    // Copies InternalErrors only.
    void Assign(const TCollectionItem& source) override;

private:
    TSystemErrors FInternalErrors = seRaise;
    std::int32_t FTag = 0;
};

class TErrorItem;
class TErrorTerminal;

using TErrorItemNotifyEvent = std::function<void(TErrorItem* Sender)>;
using TErrorTerminalItemEvent = std::function<void(TErrorTerminal* Sender, TErrorItem* Item)>;
using TErrorDestinationEvent = std::function<void(QObject* Sender, TErrorItem* Item, std::int32_t LogID, std::int32_t& Result)>;

// One error of a component: its local code, the program-wide error code and the state of the
// current activation.
class TErrorItem : public TInternalDoErrorCollectionItem {
public:
    // An item outside any collection (GlobaItem) passes no collection.
    explicit TErrorItem(TCollection* collection = nullptr) : TInternalDoErrorCollectionItem(collection) {}

    bool Active() const noexcept { return FActive; }
    // Switches the error: a disabled item, or one already in that state, stays as it is.
    void SetActive(bool Value);
    std::int32_t SendActivate();
    std::int32_t SendDeactivate();
    // The owning terminal's Enabled; true for an item outside a terminal.
    bool ErrorTerminalEnabled() const noexcept;

    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value) noexcept { FEnabled = value; }
    std::int32_t LocalCode() const noexcept { return FLocalCode; }
    void SetLocalCode(std::int32_t value) noexcept { FLocalCode = value; }
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }
    // An active item reports -1004 through its policy first.
    void SetErrorCode(std::int32_t value);
    const QString& Message() const noexcept { return FMessage; }
    void SetMessage(const QString& value) { FMessage = value; }
    TLogStrategy LogStrategy() const noexcept { return FLogStrategy; }
    void SetLogStrategy(TLogStrategy value) noexcept { FLogStrategy = value; }
    std::int32_t LogID() const noexcept { return FLogID; }
    TDateTime StartDate() const noexcept { return FStartDate; }
    void SetStartDate(TDateTime value) noexcept { FStartDate = value; }
    std::int32_t LastResult() const noexcept { return FLastResult; }
    std::int32_t ExtLogID() const noexcept { return FExtLogID; }
    void SetExtLogID(std::int32_t value) noexcept { FExtLogID = value; }

    TErrorItemNotifyEvent OnBeforeActivate;
    TErrorItemNotifyEvent OnAfterActivate;
    std::int32_t SubCode = 0;
    QString Data;

    void Assign(const TCollectionItem& source) override;
    QString GetDisplayName() const override;

private:
    bool FActive = false;
    bool FEnabled = true;
    std::int32_t FLocalCode = 0;
    std::int32_t FErrorCode = 0;
    QString FMessage;
    TLogStrategy FLogStrategy = lgOnOnly;
    std::int32_t FLogID = NoLogID;
    TDateTime FStartDate = 0;
    std::int32_t FLastResult = 0;
    std::int32_t FExtLogID = 0;
};

// The error items of a terminal, which is the collection's owner.
class TErrorItems : public TTypedCollection<TErrorItem> {
public:
    explicit TErrorItems(TErrorTerminal* terminal);

    TErrorItem* ByECode(std::int32_t ErrorCode) const noexcept;
    TErrorItem* ByLCode(std::int32_t LocalCode) const noexcept;
};

// The switchboard of a component's errors.
class TErrorTerminal : public TInternalDoErrorComponent {
    Q_OBJECT

public:
    explicit TErrorTerminal(QObject* owner = nullptr);

    TErrorItems& Items() noexcept { return FItems; }
    const TErrorItems& Items() const noexcept { return FItems; }
    // Replaces the items with copies of the given ones.
    void SetItems(const TErrorItems& items) { FItems.AssignItems(items); }
    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value) noexcept { FEnabled = value; }

    TErrorTerminalItemEvent OnBeforeActivateBy;
    TErrorTerminalItemEvent OnAfterActivateBy;

    // The one switching entry: finds the item of LCode, stores the details and switches it.
    // Returns the item's LastResult, or NoValue after reporting -1005 for an unknown local code.
    std::int32_t SetActiveByLCode(bool Active, std::int32_t LCode, const QString& Msg, std::int32_t ASubCode, const QString& AData);
    std::int32_t ActivateByLCode(std::int32_t LCode, const QString& Msg, std::int32_t ASubCode, const QString& AData);
    std::int32_t DeactivateByLCode(std::int32_t LCode);
    void DeactivateAllErrors();
    TErrorItem* FindErrorItemFromECode(std::int32_t ErrorCode) const noexcept { return FItems.ByECode(ErrorCode); }
    TErrorItem* FindErrorItemFromLCode(std::int32_t LocalCode) const noexcept { return FItems.ByLCode(LocalCode); }

private:
    TErrorItems FItems;
    bool FEnabled = true;
};

// The single program-wide receiver of activations. Constructing one registers it (a second one
// while another is registered raises the -1002 text); destroying it unregisters it.
class TErrorDestination : public QObject {
    Q_OBJECT

public:
    explicit TErrorDestination(QObject* owner = nullptr);
    ~TErrorDestination() override;

    std::int32_t NextLogID() const noexcept { return FNextLogID; }
    void SetNextLogID(std::int32_t value) noexcept { FNextLogID = value; }
    // The current NextLogID, which is then incremented.
    std::int32_t GetNextLogID() noexcept { return FNextLogID++; }

    TErrorDestinationEvent OnActivateItem;
    TErrorDestinationEvent OnDeactivateItem;

    std::int32_t ActivateError(TErrorItem* Item, std::int32_t& Result);
    void DeactivateError(TErrorItem* Item, std::int32_t& Result);

private:
    std::int32_t FNextLogID = 0;
};

// The registered destination; raises the -1003 text when none is registered.
TErrorDestination* GetErrorDestination();
// The item through which DoRunTimeError reports; exists while the log system runs.
TErrorItem* GlobaItem();

// Called by the log system's start-up and shut-down.
void CreateErrorItemGlobals();
void FreeErrorItemGlobals() noexcept;
