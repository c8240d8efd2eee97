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

TInstanceLock::TInstanceLock(const QString& iniFileName) : FLockFileName(LockFileNameFor(iniFileName))
{
    const QByteArray name = QFile::encodeName(FLockFileName);
    // Not followed through a symbolic link, as the temporary folder is shared; a lock file of
    // another user can still be locked through a read-only descriptor.
    FFd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (FFd < 0 && errno == EACCES)
        FFd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (FFd < 0) {
        FError = QString::fromLocal8Bit(std::strerror(errno));
        FAcquired = true;
        return;
    }
    int result = 0;
    do
        result = ::flock(FFd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    FAcquired = result == 0;
    if (!FAcquired && errno != EWOULDBLOCK) {
        FError = QString::fromLocal8Bit(std::strerror(errno));
        FAcquired = true;
    }
}

TInstanceLock::~TInstanceLock()
{
    // Closing the descriptor releases the lock. The file stays: removing it would race with an
    // instance that has just opened it and is about to lock it.
    if (FFd >= 0)
        ::close(FFd);
}
