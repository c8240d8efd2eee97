#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

TInstanceLock::TInstanceLock(const QString& iniFileName) : FLock(LockFileNameFor(iniFileName), 0644) {}
