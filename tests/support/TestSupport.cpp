#include "TestSupport.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include "platform/Thread.h"

namespace TestSupport {

TTempDir::TTempDir() { FDir.setAutoRemove(true); }

QByteArray ReadFileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFileBytes(const QString& path, const QByteArray& bytes, bool executable)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write(bytes);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        if (!done())
            SleepMs(2);
    }
    return true;
}

void ServeEventsFor(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        SleepMs(1);
    }
}

QString WriteScript(const QString& path, const QByteArray& body)
{
    WriteFileBytes(path, "#!/bin/sh\n" + body, true);
    return path;
}

} // namespace TestSupport
