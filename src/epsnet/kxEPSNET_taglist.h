#pragma once
#include "comm/SpinLock.h"
#include "epsnet/kxEPSNET_ram.h"
#include "epsnet/kxEPSNET_tags.h"
#include "platform/CodePage.h"
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// All tags of a PUB file in one owning list, sorted by name for lookup or by area and address
// for planning the reads; and the thread-safe wrapper that the master component and its thread
// share, which also owns the four RAM images the tags point into.

// An owning list of tags; removing or clearing an entry frees its tag. Not thread safe.
class TEpsnetTagList {
public:
    TEpsnetTagList();
    ~TEpsnetTagList();
    TEpsnetTagList(const TEpsnetTagList&) = delete;
    TEpsnetTagList& operator=(const TEpsnetTagList&) = delete;

    int Count() const noexcept { return static_cast<int>(FItems.size()); }
    // Raises EListError for an index outside 0 .. Count - 1.
    TEPSNETTag* Items(int index) const;
    // Appends the tag, taking it over.
    void Add(std::unique_ptr<TEPSNETTag> tag);
    void Delete(int index);
    void Clear() noexcept;

    // Reads the file as text (a byte-order mark chooses UTF-8 or UTF-16, otherwise the PLC's code
    // page) and loads its lines. Raises EFOpenError when it cannot be read.
    void LoadFromFile(const QString& PubFileName);
    // Loads the lines of the text (CR LF, LF or CR).
    void LoadFromString(const QString& PubData);
    // Makes one tag of every tag line in order, sorts by name and puts them in place of the old
    // ones. A line that fails to parse, and a tag that does not lie wholly inside its area's
    // memory, is left out with a warning naming its line (LoadWarnings), as a PLC programmer
    // expects one typo to cost one variable, not the whole file. A text without any usable tag
    // raises EEPSNETException (with the first warning) and leaves the list as it was.
    void LoadFromStringList(const QStringList& PubStrings);
    // The warnings of the last load, at most MaxLoadWarnings of them and then one that counts the
    // rest.
    const QStringList& LoadWarnings() const noexcept { return FLoadWarnings; }
    static constexpr int MaxLoadWarnings = 20;

    // By name in plain UTF-16 code-unit order (case-sensitive). Tags of the same name keep the
    // order they were added in, so a lookup finds the first of them.
    void SortByName();
    // By area (X, Y, S, R), then address, then the order the tags were added in.
    void SotrByAddr();
    bool NameSorted() const noexcept { return FNameSorted; }

    // The tag of exactly this name (case-sensitive) by binary search, sorting by name first when
    // needed; null when there is none.
    TEPSNETTag* GetTagByName(const QString& Name);

    // The value of the named tag. A name that is not in the list raises "Requested tag %s doesn't
    // exist in current tag list".
    bool GetAsBool(const QString& Name);
    TDateTime GetAsDateTime(const QString& Name);
    double GetAsFloat(const QString& Name);
    std::int32_t GetAsInteger(const QString& Name);
    QString GetAsString(const QString& Name);
    QString GetDescription(const QString& Name);

    // The named tag's setter (a name not in the list raises as above): SetAsBool changes a Bit
    // tag's bit in the local image, SetDescription the description; the others change nothing,
    // since this system never writes to the PLC.
    void SetAsBool(const QString& Name, bool Value);
    void SetAsDateTime(const QString& Name, TDateTime Value);
    void SetAsFloat(const QString& Name, double Value);
    void SetAsInteger(const QString& Name, std::int32_t Value);
    void SetAsString(const QString& Name, const QString& Value);
    void SetDescription(const QString& Name, const QString& Value);

    // The code page of the PLC's texts (PUB file without byte-order mark, STRING values). Empty
    // or unknown names give the process's ANSI code page; false for an unknown name.
    bool SetCodePage(const QString& name);
    const TCodePage& CodePage() const noexcept;

private:
    struct TEntry {
        std::unique_ptr<TEPSNETTag> Tag;
        std::int64_t Order = 0;
    };

    TEPSNETTag& TagByName(const QString& Name);
    void CheckIndex(int index) const;

    // What one load has made so far; the list takes it over only when it has a usable tag.
    struct TLoad {
        std::vector<TEntry> Loaded;
        QStringList Warnings;
        int Warned = 0;
        // The tag the next line is parsed into; a line that fails leaves it for the next.
        std::unique_ptr<TEPSNETTag> Spare;
    };
    void LoadLine(int lineNumber, QStringView line, TLoad& load);
    void FinishLoad(TLoad& load);
    void Warn(int lineNumber, const QString& why, TLoad& load);

    std::vector<TEntry> FItems;
    QStringList FLoadWarnings;
    std::int64_t FNextOrder = 0;
    bool FNameSorted = false;
    std::optional<TCodePage> FCodePage;
};

// The tag list shared by the master thread (loads, image updates) and the main thread (lookups,
// planning, diagnostics). One re-entrant spin lock, SO, guards the list, its tags and the four
// images; every operation here takes it, also a lookup, which may re-sort the list.
class TEpsnetThreadSafeTagList {
public:
    TEpsnetThreadSafeTagList();
    ~TEpsnetThreadSafeTagList();
    TEpsnetThreadSafeTagList(const TEpsnetThreadSafeTagList&) = delete;
    TEpsnetThreadSafeTagList& operator=(const TEpsnetThreadSafeTagList&) = delete;

    // Acquires the lock and gives the inner list; every LockList needs its UnLock, also when the
    // work in between raises (TEpsnetTagListLock does both).
    TEpsnetTagList& LockList();
    void UnLock();

    bool GetAsBool(const QString& Name);
    TDateTime GetAsDateTime(const QString& Name);
    double GetAsFloat(const QString& Name);
    std::int32_t GetAsInteger(const QString& Name);
    QString GetAsString(const QString& Name);
    QString GetDescription(const QString& Name);

    void SetAsBool(const QString& Name, bool Value);
    void SetAsDateTime(const QString& Name, TDateTime Value);
    void SetAsFloat(const QString& Name, double Value);
    void SetAsInteger(const QString& Name, std::int32_t Value);
    void SetAsString(const QString& Name, const QString& Value);
    void SetDescription(const QString& Name, const QString& Value);

    // Loads the inner list, then points every tag into its image. A text without a usable tag
    // leaves the tags as they were, still pointed into their images, and the exception passes on.
    void LoadFromString(const QString& PubData);
    void LoadFromFile(const QString& PubFileName);
    // The warnings of the last load (TEpsnetTagList::LoadWarnings), a copy.
    QStringList LoadWarnings();
    // Points every tag at the image of its area.
    void AssignTagPtrs();
    // The image of an area; null for a value that is no area.
    TEPSNETRam* GetRamArea(TEPSNETArea Area) const noexcept;
    // Copies a read answer into the image of its area (see TEPSNETRam::UpdateFromPacket); a
    // packet whose area has no image is ignored.
    void UpdateFromPacket(const TEPSNETPacket& APacket);

    bool SetCodePage(const QString& name);
    // A copy, so that the caller may use it without the lock.
    TCodePage CodePage();

private:
    void LoadAndAssign(const std::function<void()>& load);

    std::unique_ptr<TSpinLock> SO;
    std::unique_ptr<TEpsnetTagList> FTagList;
    std::unique_ptr<TEPSNETRam> X;
    std::unique_ptr<TEPSNETRam> Y;
    std::unique_ptr<TEPSNETRam> R;
    std::unique_ptr<TEPSNETRam> S;
};

// Holds the thread-safe list's lock for one scope and gives access to the inner list.
class TEpsnetTagListLock {
public:
    explicit TEpsnetTagListLock(TEpsnetThreadSafeTagList& list) : FList(list), FTags(list.LockList()) {}
    ~TEpsnetTagListLock() { FList.UnLock(); }
    TEpsnetTagListLock(const TEpsnetTagListLock&) = delete;
    TEpsnetTagListLock& operator=(const TEpsnetTagListLock&) = delete;

    TEpsnetTagList& operator*() const noexcept { return FTags; }
    TEpsnetTagList* operator->() const noexcept { return &FTags; }

private:
    TEpsnetThreadSafeTagList& FList;
    TEpsnetTagList& FTags;
};
