#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The ini file may not exist (every key then has its default); its folder usually does, and
// resolving that still makes two spellings of one path the same file.
QString CanonicalIniPath(const QString& iniFileName)
{
    const QFileInfo ini(iniFileName);
    const QString canonical = ini.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = ini.absoluteDir().canonicalPath();
    return folder.isEmpty() ? QDir::cleanPath(ini.absoluteFilePath()) : folder + u'/' + ini.fileName();
}

QString LockFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime.endsWith(u'/') ? runtime : runtime + u'/';
    return TempPath();
}

} // namespace

QString TInstanceLock::LockFileNameFor(const QString& iniFileName)
{
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(CanonicalIniPath(iniFileName)), QCryptographicHash::Sha256);
    return LockFolder() + QStringLiteral("vocator-") + QString::fromLatin1(hash.toHex().left(32)) + QStringLiteral(".lock");
}

namespace {

int OpenLockFile(const QByteArray& name)
{
    // Not followed through a symbolic link, as the temporary folder is shared; a lock file of
    // another user can still be locked through a read-only descriptor.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
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

// The holder removes its file when it ends; a lock taken on a file that was removed meanwhile
// guards nothing, so the name must still lead to the locked file.
bool StillNamed(int fd, const QByteArray& name)
{
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(name.constData(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

} // namespace

TInstanceLock::TInstanceLock(const QString& iniFileName) : FLockFileName(LockFileNameFor(iniFileName))
{
    const QByteArray name = QFile::encodeName(FLockFileName);
    for (int attempt = 0; attempt < 10; ++attempt) {
        FFd = OpenLockFile(name);
        if (FFd < 0) {
            FError = QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        const int error = TryLock(FFd);
        if (error == EWOULDBLOCK)
            return; // another instance holds it
        if (error != 0) {
            FError = QString::fromLocal8Bit(std::strerror(error));
            break;
        }
        if (StillNamed(FFd, name)) {
            FAcquired = true;
            return;
        }
        ::close(FFd);
        FFd = -1;
    }
    // Without a usable lock the run goes on: a guard must not keep the only instance from running.
    FAcquired = true;
}

TInstanceLock::~TInstanceLock()
{
    if (FFd < 0)
        return;
    // Removed while still locked, so that an instance that opened it meanwhile sees it is gone.
    if (FAcquired && FError.isEmpty())
        ::unlink(QFile::encodeName(FLockFileName).constData());
    ::close(FFd);
}
