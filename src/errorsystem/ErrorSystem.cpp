#include "errorsystem/ErrorSystem.h"
#include "errorsystem/ErrorSystem_categories.h"
#include "errorsystem/ErrorSystem_texts.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include <QFile>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> Running{false};
std::atomic<bool> RotationOn{false};
std::atomic<int> RotationFileCount{9};
std::atomic<int> RotationMaxSize{4194304};

// Serialises every file line of the process, whatever the file, so that lines never interleave.
std::mutex& FileLock()
{
    static std::mutex lock;
    return lock;
}

// Guarded by FileLock.
QString& DefaultLogFile()
{
    static QString name;
    return name;
}

// A registered memo. Removal marks it, and deliveries already under way are waited for, because
// the memo object may be destroyed as soon as it has unregistered.
struct TMemoSlot {
    ILogMemo* Memo = nullptr;
    bool Removed = false;
    std::vector<std::thread::id> Deliverers;
};
using TMemoSlotPtr = std::shared_ptr<TMemoSlot>;

std::mutex& RegistryLock()
{
    static std::mutex lock;
    return lock;
}

// Guarded by RegistryLock.
std::vector<TMemoSlotPtr>& Registry()
{
    static std::vector<TMemoSlotPtr> slots;
    return slots;
}

// Memos still registered at shut-down: their unregistering must still wait for deliveries.
std::vector<TMemoSlotPtr>& RetiredSlots()
{
    static std::vector<TMemoSlotPtr> slots;
    return slots;
}

std::filesystem::path NativePath(const QString& fileName) { return QFile::encodeName(fileName).toStdString(); }

bool FileLargerThan(const std::filesystem::path& file, int maxSize)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    return !error && size > static_cast<std::uintmax_t>(std::max(maxSize, 0));
}

// Moves from onto to, replacing to; a missing from is no error.
void MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::error_code error;
    if (std::filesystem::exists(from, error))
        std::filesystem::rename(from, to, error);
}

std::filesystem::path Numbered(const QString& fileName, int number)
{
    return NativePath(fileName + u'.' + QString::number(number));
}

void RotateLogFiles(const QString& fileName, int fileCount)
{
    for (int k = fileCount - 1; k >= 2; --k)
        MoveReplacing(Numbered(fileName, k - 1), Numbered(fileName, k));
    MoveReplacing(NativePath(fileName), Numbered(fileName, 1));
}

void AppendToFile(const QString& fileName, const QByteArray& bytes)
{
    QFile file(fileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        file.write(bytes);
}

QByteArray FileLine(const QString& text)
{
    return ToAnsi(QString(FormatRegionalDateTimeNow() + u'\t' + text + QStringLiteral("\r\n")));
}

std::vector<TMemoSlotPtr> MemosWithIndex(int memoIndex)
{
    std::vector<TMemoSlotPtr> found;
    std::lock_guard lock(RegistryLock());
    for (const TMemoSlotPtr& slot : Registry())
        if (slot->Memo->MemoIndex() == memoIndex)
            found.push_back(slot);
    return found;
}

bool BeginDelivery(TMemoSlot& slot)
{
    std::lock_guard lock(RegistryLock());
    if (slot.Removed)
        return false;
    slot.Deliverers.push_back(std::this_thread::get_id());
    return true;
}

void EndDelivery(TMemoSlot& slot)
{
    {
        std::lock_guard lock(RegistryLock());
        const auto self = std::find(slot.Deliverers.begin(), slot.Deliverers.end(), std::this_thread::get_id());
        if (self != slot.Deliverers.end())
            slot.Deliverers.erase(self);
    }
    WakeMainThread();
}

void DeliverLine(TMemoSlot& slot, const QString& line)
{
    if (!BeginDelivery(slot))
        return;
    try {
        slot.Memo->AddLine(line);
    } catch (...) {
        // A memo that fails loses this line; the other memos and the caller go on.
    }
    EndDelivery(slot);
}

// A delivery of the unregistering thread itself is further up its own stack and cannot be waited for.
bool OthersDelivering(const TMemoSlot& slot)
{
    std::lock_guard lock(RegistryLock());
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(slot.Deliverers.begin(), slot.Deliverers.end(), [&](std::thread::id id) { return id != self; });
}

TMemoSlotPtr TakeOut(std::vector<TMemoSlotPtr>& slots, ILogMemo* memo)
{
    const auto found = std::find_if(slots.begin(), slots.end(), [&](const TMemoSlotPtr& s) { return s->Memo == memo; });
    if (found == slots.end())
        return nullptr;
    TMemoSlotPtr slot = *found;
    slot->Removed = true;
    slots.erase(found);
    return slot;
}

TMemoSlotPtr TakeOutOfRegistry(ILogMemo* memo)
{
    std::lock_guard lock(RegistryLock());
    TMemoSlotPtr slot = TakeOut(Registry(), memo);
    return slot ? slot : TakeOut(RetiredSlots(), memo);
}

void AppendHex(QString& out, unsigned char byte)
{
    static const char digits[] = "0123456789ABCDEF";
    out += u' ';
    out += QLatin1Char(digits[byte >> 4]);
    out += QLatin1Char(digits[byte & 0x0F]);
}

} // namespace

void WriteToFile(const QString& Text, const QString& FName)
{
    try {
        std::lock_guard lock(FileLock());
        if (!Running.load())
            return;
        const QString fileName = FName.isEmpty() ? DefaultLogFile() : FName;
        if (fileName.isEmpty())
            return;
        if (RotationOn.load() && FileLargerThan(NativePath(fileName), RotationMaxSize.load()))
            RotateLogFiles(fileName, RotationFileCount.load());
        AppendToFile(fileName, FileLine(Text));
    } catch (...) {
        // Logging must never fail its caller: a line that cannot be written is lost, nothing more.
    }
}

void WriteToMemo(const QByteArray& Text, int MemoIndex)
{
    try {
        if (!Running.load())
            return;
        const QString line = HumanString(Text);
        for (const TMemoSlotPtr& slot : MemosWithIndex(MemoIndex))
            DeliverLine(*slot, line);
    } catch (...) {
        // As with files: a memo line that cannot be shown is lost, the caller goes on.
    }
}

void WriteToMemo(const QString& Text, int MemoIndex)
{
    try {
        WriteToMemo(ToAnsi(Text), MemoIndex);
    } catch (...) {
        // The conversion failed for lack of memory; the line is lost.
    }
}

void WriteToLog(const QString& Text, int MemoIndex)
{
    WriteToFile(Text);
    WriteToMemo(Text, MemoIndex);
}

int GetLastMemoIndex(int AIndex, int& ACount)
{
    ACount = 0;
    int last = -1;
    std::lock_guard lock(RegistryLock());
    if (!Running.load())
        return last;
    for (const TMemoSlotPtr& slot : Registry()) {
        const int index = slot->Memo->MemoIndex();
        if (index == AIndex)
            ++ACount;
        last = std::max(last, index);
    }
    return last;
}

QString HumanString(const QByteArray& text, bool decimal)
{
    Q_UNUSED(decimal);
    QString out;
    out.reserve(text.size());
    const qsizetype last = text.size() - 1;
    for (qsizetype i = 0; i <= last; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\t' || (byte >= 32 && byte <= 127))
            out += QLatin1Char(static_cast<char>(byte));
        else if (byte != '\n' || i != last)
            AppendHex(out, byte);
    }
    return out;
}

QString DefaultFileName()
{
    std::lock_guard lock(FileLock());
    return DefaultLogFile();
}

void SetDefaultFileName(const QString& fileName)
{
    std::lock_guard lock(FileLock());
    DefaultLogFile() = fileName;
}

bool LogFileRotation() { return RotationOn.load(); }
void SetLogFileRotation(bool value) { RotationOn.store(value); }
int LogFileCount() { return RotationFileCount.load(); }
void SetLogFileCount(int value) { RotationFileCount.store(value); }
int MaxLogFileSize() { return RotationMaxSize.load(); }
void SetMaxLogFileSize(int bytes) { RotationMaxSize.store(bytes); }

void StartLogSystem()
{
    {
        std::scoped_lock lock(FileLock(), RegistryLock());
        if (Running.load())
            return;
        DefaultLogFile() = ChangeFileExt(ExecutablePath(), QStringLiteral(".log"));
        Running.store(true);
    }
    // The error-code globals live exactly as long as the log system.
    CreateErrorTextGlobals();
    CreateErrorItemGlobals();
    ResetErrorCategoryGlobals();
}

void ShutdownLogSystem()
{
    FreeErrorItemGlobals();
    FreeErrorTextGlobals();
    ResetErrorCategoryGlobals();
    std::scoped_lock lock(FileLock(), RegistryLock());
    Running.store(false);
    for (TMemoSlotPtr& slot : Registry()) {
        slot->Removed = true;
        RetiredSlots().push_back(std::move(slot));
    }
    Registry().clear();
    DefaultLogFile().clear();
}

bool LogSystemRunning() { return Running.load(); }

void RegisterMemo(ILogMemo* memo)
{
    if (!memo)
        return;
    std::lock_guard lock(RegistryLock());
    auto& slots = Registry();
    const bool known = std::any_of(slots.begin(), slots.end(), [&](const TMemoSlotPtr& s) { return s->Memo == memo; });
    if (Running.load() && !known) {
        auto slot = std::make_shared<TMemoSlot>();
        slot->Memo = memo;
        slots.push_back(std::move(slot));
    }
}

void UnregisterMemo(ILogMemo* memo)
{
    const TMemoSlotPtr slot = TakeOutOfRegistry(memo);
    if (slot)
        ProcessEventsUntil([&] { return !OthersDelivering(*slot); });
}
