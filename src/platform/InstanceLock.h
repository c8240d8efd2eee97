#pragma once
#include <QString>

// One windowless instance per ini file: an exclusive flock on a lock file named from a hash of
// the ini file's canonical path, in $XDG_RUNTIME_DIR (else the temporary folder), held for the
// object's lifetime and removed at its end. The kernel releases the lock when the holder dies, so
// the file a crashed instance left behind blocks nobody. Different ini files give different lock
// files.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& iniFileName);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // False when another process holds the lock.
    bool Acquired() const noexcept { return FAcquired; }
    // The lock file could not be opened (Error() says why); the guard then lets the run go on.
    bool Unavailable() const { return !FError.isEmpty(); }
    QString Error() const { return FError; }
    QString LockFileName() const { return FLockFileName; }

    // The lock file's name for an ini file.
    static QString LockFileNameFor(const QString& iniFileName);

private:
    QString FLockFileName;
    QString FError;
    int FFd = -1;
    bool FAcquired = false;
};
