#pragma once
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>

// Helpers shared by the test suites. Every test executable runs with an application object on
// its main thread (see TestMain.cpp), so hand-overs to the main thread work once a test serves
// events.
namespace TestSupport {

// A fresh folder removed after the test.
class TTempDir {
public:
    TTempDir();
    QString Path() const { return FDir.path(); }
    QString File(const QString& name) const { return FDir.filePath(name); }

private:
    QTemporaryDir FDir;
};

QByteArray ReadFileBytes(const QString& path);
void WriteFileBytes(const QString& path, const QByteArray& bytes, bool executable = false);
// Serves the main thread's events until the predicate holds or the time is up; true if it held.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// Serves the main thread's events for the given time.
void ServeEventsFor(int milliseconds);
// Writes an executable shell-free helper program: a shell script is fine for the test's own
// fixtures, never for the program under test.
QString WriteScript(const QString& path, const QByteArray& body);

} // namespace TestSupport
