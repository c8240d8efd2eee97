#include "app/gui/JustOne.h"
#include "app/gui/ApplicationRun.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/FileLock.h"
#include "platform/Paths.h"
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace {

const QByteArray ShowRequest = "show\n";
const QByteArray ShownAnswer = "shown\n";
const QByteArray HiddenAnswer = "hidden\n";
// The first instance may be between taking the lock and listening; it answers at once otherwise.
constexpr int ConnectTimeOutMs = 3000;
constexpr int AnswerTimeOutMs = 5000;

// The guard's files without their extension: in the user's run-time folder, else in the
// temporary folder, where the user id keeps another user's instance from counting as ours.
QString GuardFileStem()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return (runtime.endsWith(u'/') ? runtime : runtime + u'/') + TXJustOne::ApplicationTitle();
    return TempPath() + TXJustOne::ApplicationTitle() + u'-' + QString::number(CurrentUserId());
}

} // namespace

TXJustOne::TXJustOne(QObject* owner) : QObject(owner) { setObjectName(QStringLiteral("XJustOne")); }

TXJustOne::~TXJustOne() = default;

QString TXJustOne::ApplicationTitle()
{
    QString title = ExtractFileName(ExecutablePath());
    const qsizetype dot = title.indexOf(u'.');
    if (dot >= 0)
        title.truncate(dot);
    title.truncate(255);
    return title.left(1) + title.mid(1).toLower();
}

QString TXJustOne::LockFileName() { return GuardFileStem() + QStringLiteral(".lock"); }

QString TXJustOne::ServerName() { return GuardFileStem() + QStringLiteral(".socket"); }

void TXJustOne::SetEnabled(bool value)
{
    const bool switchedOn = value && !FEnabled;
    FEnabled = value;
    if (switchedOn)
        RunCheckingCode();
}

void TXJustOne::Loaded()
{
    if (IsCreated) {
        FLock.reset();
        IsCreated = false;
    }
    if (FEnabled)
        RunCheckingCode();
}

void TXJustOne::RunCheckingCode()
{
    IsCreated = false;
    FLock = std::make_unique<TFileLock>(LockFileName());
    if (!FLock->Acquired()) {
        // A lock file that cannot even be opened counts as another instance, as a failed
        // creation of the marker always did: better no second copy than two.
        if (!FLock->Error().isEmpty())
            WriteToFile(QStringLiteral("Single-instance lock ") + FLock->FileName() + QStringLiteral(" failed: ") + FLock->Error());
        if (FAlreadyExist)
            FAlreadyExist(this);
        if (FSwitchToPrevious)
            SwitchToFirstInstance();
        ApplicationRun::SetShowMainForm(false);
        ApplicationRun::Terminate();
    } else {
        ListenForSwitchRequests();
    }
    IsCreated = true;
}

void TXJustOne::ListenForSwitchRequests()
{
    if (FServer)
        return;
    FServer = new QLocalServer(this);
    FServer->setObjectName(QStringLiteral("XJustOneServer"));
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock proves that no instance runs: a socket left behind by a crashed one is
    // stale and goes.
    QLocalServer::removeServer(ServerName());
    if (!FServer->listen(ServerName())) {
        WriteToFile(QStringLiteral("Single-instance socket ") + ServerName() + QStringLiteral(" failed: ") + FServer->errorString());
        return;
    }
    connect(FServer, &QLocalServer::newConnection, this, [this] { AnswerSwitchRequest(); });
}

void TXJustOne::AnswerSwitchRequest()
{
    while (QLocalSocket* client = FServer->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, client, [this, client] {
            if (!client->canReadLine())
                return;
            // Anything but the one request is ignored; the client learns nothing from us then.
            if (client->readLine(64) != ShowRequest) {
                client->disconnectFromServer();
                return;
            }
            const bool shown = FOnSwitchRequest && FOnSwitchRequest(this);
            client->write(shown ? ShownAnswer : HiddenAnswer);
            client->disconnectFromServer();
        });
    }
}

void TXJustOne::SwitchToFirstInstance()
{
    const QString title = ApplicationTitle();
    QLocalSocket socket;
    QElapsedTimer clock;
    clock.start();
    socket.connectToServer(ServerName());
    while (!socket.waitForConnected(200) && clock.elapsed() < ConnectTimeOutMs) {
        QThread::msleep(100);
        socket.connectToServer(ServerName());
    }
    QByteArray answer;
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.write(ShowRequest);
        socket.waitForBytesWritten(AnswerTimeOutMs);
        while (!socket.canReadLine() && socket.waitForReadyRead(AnswerTimeOutMs)) {
        }
        answer = socket.readLine(64);
    }
    if (answer == ShownAnswer)
        WriteToFile(title + QStringLiteral(" is already running: its window was brought to the front"));
    else
        WriteToFile(title + QStringLiteral(" is already running: its window could not be reached"));
}
