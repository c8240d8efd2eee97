#pragma once
#include <QString>
#include <cstdint>

// An exclusive lock (flock) on a file, taken without waiting and held for the object's lifetime.
// The kernel releases it when the holder dies, so the file a crashed process left behind never
// blocks the next one.
class TFileLock {
public:
    explicit TFileLock(const QString& fileName);
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    // False when another holder has the lock or the file could not be opened (Error() says why).
    bool Acquired() const noexcept { return FAcquired; }
    const QString& Error() const noexcept { return FError; }
    const QString& FileName() const noexcept { return FFileName; }

private:
    QString FFileName;
    QString FError;
    int FFd = -1;
    bool FAcquired = false;
};

// The real user id of the process: files of one user in a folder all users share carry it.
std::uint32_t CurrentUserId();
