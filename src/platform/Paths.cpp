#include "platform/Paths.h"
#include <QFileInfo>
#include <climits>
#include <cstdlib>
#include <unistd.h>

QString ExecutablePath()
{
    static const QString path = [] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        return n > 0 ? QString::fromLocal8Bit(buffer, n) : QString();
    }();
    return path;
}

QString ExecutableDir()
{
    const QString path = ExecutablePath();
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash > 0 ? path.left(slash) : QStringLiteral("/");
}

QString ChangeFileExt(const QString& fileName, const QString& ext)
{
    const qsizetype slash = fileName.lastIndexOf(u'/');
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot > slash)
        return fileName.left(dot) + ext;
    return fileName + ext;
}

QString TempPath()
{
    QString dir = QString::fromLocal8Bit(qgetenv("TMPDIR"));
    if (dir.isEmpty())
        dir = QStringLiteral("/tmp");
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

QString ExtractFilePath(const QString& fileName)
{
    const qsizetype slash = fileName.lastIndexOf(u'/');
    return slash < 0 ? QString() : fileName.left(slash + 1);
}

QString ExtractFileName(const QString& fileName)
{
    return fileName.mid(fileName.lastIndexOf(u'/') + 1);
}

QString DefaultIniFileName() { return ChangeFileExt(ExecutablePath(), QStringLiteral(".ini")); }
