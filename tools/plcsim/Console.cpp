#include "Console.h"
#include "Commands.h"
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr qsizetype MaxLineLength = 64 * 1024;

} // namespace

void PrintLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

TSimConsole::TSimConsole(TSimCommands& commands, QObject* owner) : QObject(owner), FCommands(commands)
{
    FNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSimConsole::ReadInput);
}

void TSimConsole::ReadInput()
{
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        FNotifier->setEnabled(false); // end of input: nothing more to read
        return;
    }
    FPending.append(buffer, count);
    for (qsizetype end; (end = FPending.indexOf('\n')) >= 0;) {
        const QByteArray line = FPending.left(end);
        FPending.remove(0, end + 1);
        if (FDiscarding) {
            FDiscarding = false;
            continue;
        }
        const QString reply = FCommands.Execute(QString::fromUtf8(line));
        if (!reply.isEmpty())
            PrintLine(reply);
    }
    if (FPending.size() > MaxLineLength) {
        PrintLine(QStringLiteral("error: line longer than %1 bytes").arg(MaxLineLength));
        FPending.clear();
        FDiscarding = true;
    }
}
