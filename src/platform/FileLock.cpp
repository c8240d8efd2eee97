#include "platform/FileLock.h"
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int OpenLockFile(const QByteArray& name, unsigned mode)
{
    // Not followed through a symbolic link, as the temporary folder is shared; a lock file of
    // another user can still be locked through a read-only descriptor.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 || errno != EACCES ? fd : ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

int TryLock(int fd)
{
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

// A lock taken on a file that its holder removed meanwhile guards nothing: the name must still
// lead to the locked file.
bool StillNamed(int fd, const QByteArray& name)
{
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(name.constData(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

TFileLock::TFileLock(const QString& fileName, unsigned mode) : FFileName(fileName)
{
    const QByteArray name = QFile::encodeName(fileName);
    for (int attempt = 0; attempt < 10; ++attempt) {
        FFd = OpenLockFile(name, mode);
        if (FFd < 0) {
            FError = SystemError(errno);
            return;
        }
        const int error = TryLock(FFd);
        if (error == EWOULDBLOCK)
            return; // another holder has it
        if (error != 0) {
            FError = SystemError(error);
            return;
        }
        if (StillNamed(FFd, name)) {
            FAcquired = true;
            return;
        }
        ::close(FFd);
        FFd = -1;
    }
    FError = QStringLiteral("the lock file keeps being replaced");
}

TFileLock::~TFileLock()
{
    if (FFd < 0)
        return;
    // Removed while still locked, so that a process that opened it meanwhile sees it is gone.
    if (FAcquired)
        ::unlink(QFile::encodeName(FFileName).constData());
    ::close(FFd);
}

std::uint32_t CurrentUserId() { return ::getuid(); }
