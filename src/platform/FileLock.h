#pragma once
#include <QString>
#include <cstdint>

// An exclusive lock (flock) on a file, taken without waiting and held for the object's lifetime.
// The kernel releases it when the holder dies, so the file a crashed process left behind never
// blocks the next one. The holder removes the file when it ends; a lock taken on a file that was
// removed meanwhile is taken again on the file that now bears the name.
class TFileLock {
public:
    explicit TFileLock(const QString& fileName, unsigned mode = 0600);
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    // False when another holder has the lock or the file could not be used (Error() then says why).
    bool Acquired() const noexcept { return FAcquired; }
    const QString& Error() const noexcept { return FError; }
    const QString& FileName() const noexcept { return FFileName; }

private:
    QString FFileName;
    QString FError;
    int FFd = -1;
    bool FAcquired = false;
};

std::uint32_t CurrentUserId();
