#include "SerialLine.h"
#include "Answerer.h"
#include "Stream.h"
#include "platform/Exceptions.h"
#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString SystemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

TSimSerialLine::TSimSerialLine(TSimAnswerer& answerer, QString link, QObject* owner)
    : QObject(owner), FAnswerer(answerer), FLink(std::move(link))
{
    FReplug.setSingleShot(true);
    connect(&FReplug, &QTimer::timeout, this, &TSimSerialLine::PlugLater);
}

TSimSerialLine::~TSimSerialLine() { Close(); }

void TSimSerialLine::Plug()
{
    Close();
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0)
        throw Exception(SystemError("Cannot open a pty"));
    const char* device = ::grantpt(FMaster) == 0 && ::unlockpt(FMaster) == 0 ? ::ptsname(FMaster) : nullptr;
    if (device)
        FSlave = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (FSlave < 0 || ::tcgetattr(FSlave, &raw) != 0) {
        const QString error = SystemError("Cannot open the pty's slave end");
        Close();
        throw Exception(error);
    }
    // Raw: no echo of the answers back to the line, no line editing of the frames.
    ::cfmakeraw(&raw);
    ::tcsetattr(FSlave, TCSANOW, &raw);
    // A program that never reads must not stop the simulator: what does not fit is lost.
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    const QByteArray deviceName(device);
    try {
        PointLinkTo(deviceName);
    } catch (...) {
        Close();
        throw;
    }
    FLinked = true;
    FStream = new TSimStream(FAnswerer, "serial", {[this](QByteArrayView bytes) { Write(bytes); }, {}}, this);
    FNotifier = new QSocketNotifier(FMaster, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSimSerialLine::Read);
}

void TSimSerialLine::Unplug(int milliseconds)
{
    Close();
    ++FAnswerer.Counters().SerialClosed;
    FReplug.start(milliseconds);
}

void TSimSerialLine::Close()
{
    delete FNotifier; // before its descriptor closes
    FNotifier = nullptr;
    delete FStream; // answers still held go with the line
    FStream = nullptr;
    if (FSlave >= 0)
        ::close(FSlave);
    if (FMaster >= 0)
        ::close(FMaster);
    FSlave = FMaster = -1;
    // An unplugged device has no name; a program opening it meanwhile finds nothing.
    if (FLinked)
        ::unlink(QFile::encodeName(FLink).constData());
    FLinked = false;
}

void TSimSerialLine::PlugLater()
{
    try {
        Plug();
    } catch (const Exception& error) {
        // Nothing above a timer to hand the error to: say it, and leave the line unplugged.
        std::fprintf(stderr, "vocator-plcsim: %s\n", qPrintable(error.Message()));
    }
}

void TSimSerialLine::Read()
{
    char buffer[4096];
    const ssize_t count = ::read(FMaster, buffer, sizeof buffer);
    if (count > 0)
        FStream->Receive(QByteArrayView(buffer, count));
    else if (count < 0 && errno != EAGAIN && errno != EINTR)
        FNotifier->setEnabled(false); // cannot happen while the own slave descriptor is open; never spin on it
}

void TSimSerialLine::Write(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t written = ::write(FMaster, bytes.data(), std::size_t(bytes.size()));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes = bytes.sliced(written);
    }
}

void TSimSerialLine::PointLinkTo(const QByteArray& device)
{
    const QByteArray link = QFile::encodeName(FLink);
    struct stat existing {};
    if (::lstat(link.constData(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        throw Exception(QStringLiteral("\"%1\" exists and is not a symbolic link").arg(FLink));
    // A new link under a name of its own, then renamed over the old one: the link never
    // points nowhere while it is replaced.
    const QByteArray fresh = link + ".new" + QByteArray::number(::getpid());
    ::unlink(fresh.constData());
    if (::symlink(device.constData(), fresh.constData()) != 0 || ::rename(fresh.constData(), link.constData()) != 0) {
        const QString error = SystemError("Cannot make the serial link");
        ::unlink(fresh.constData());
        throw Exception(QStringLiteral("%1 (%2)").arg(error, FLink));
    }
}
