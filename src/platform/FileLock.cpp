#include "platform/FileLock.h"
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TFileLock::TFileLock(const QString& fileName) : FFileName(fileName)
{
    // Not followed through a symbolic link: the temporary folder is shared with other users.
    FFd = ::open(QFile::encodeName(fileName).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FFd < 0) {
        FError = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    int result = 0;
    do
        result = ::flock(FFd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    FAcquired = result == 0;
    if (!FAcquired && errno != EWOULDBLOCK)
        FError = QString::fromLocal8Bit(std::strerror(errno));
}

TFileLock::~TFileLock()
{
    // Closing releases the lock. The file stays: removing it would race with a process that has
    // just opened it and is about to lock it.
    if (FFd >= 0)
        ::close(FFd);
}

std::uint32_t CurrentUserId() { return ::getuid(); }
