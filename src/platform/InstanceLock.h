#pragma once
#include "platform/FileLock.h"
#include <QString>

// One windowless instance per ini file: an exclusive flock on a lock file named from a hash of
// the ini file's canonical path, in $XDG_RUNTIME_DIR (else the temporary folder), held for the
// object's lifetime and removed at its end. The kernel releases the lock when the holder dies, so
// the file a crashed instance left behind blocks nobody. Different ini files give different lock
// files.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& iniFileName);

    // False when another process holds the lock; true also when the lock file cannot be used.
    bool Acquired() const noexcept { return FLock.Acquired() || Unavailable(); }
    // The lock file could not be used (Error() says why); the guard then lets the run go on.
    bool Unavailable() const { return !FLock.Error().isEmpty(); }
    QString Error() const { return FLock.Error(); }
    QString LockFileName() const { return FLock.FileName(); }

    // The lock file's name for an ini file.
    static QString LockFileNameFor(const QString& iniFileName);

private:
    // Readable by others, so that another user's vocator on the same ini file sees it is taken.
    TFileLock FLock;
};
