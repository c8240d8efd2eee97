#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class TFileLock;

// Keeps a second copy of the program from running. The first instance holds an exclusive lock
// on a file named by the application title, for the whole run, and listens on a local socket of
// the same name. A second instance fails to take the lock: it raises AlreadyExist, asks the first
// one over the socket to bring its main window to the front, and tells the start-up not to show
// its own window and to end.
class TXJustOne : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    // The first instance's part of a switch: brings the window to the front, true when it is.
    using TSwitchRequestEvent = std::function<bool(QObject* Sender)>;

    explicit TXJustOne(QObject* owner = nullptr);
    ~TXJustOne() override;

    bool SwitchToPrevious() const noexcept { return FSwitchToPrevious; }
    void SetSwitchToPrevious(bool value) noexcept { FSwitchToPrevious = value; }
    bool Enabled() const noexcept { return FEnabled; }
    // From false to true runs the check at once; otherwise only stores the value.
    void SetEnabled(bool value);
    const TNotifyEvent& AlreadyExist() const noexcept { return FAlreadyExist; }
    void SetAlreadyExist(TNotifyEvent value) { FAlreadyExist = std::move(value); }
    void SetOnSwitchRequest(TSwitchRequestEvent value) { FOnSwitchRequest = std::move(value); }

    // Runs the check when the guard is enabled; called once the owner is built.
    void Loaded();

    // The executable's name without folder, cut before its first dot, lower case after the
    // first character: the name every copy of the program shares.
    static QString ApplicationTitle();
    // The lock file and the local socket; in $XDG_RUNTIME_DIR, else in the temporary folder with
    // the user id in their names.
    static QString LockFileName();
    static QString ServerName();

private:
    void RunCheckingCode();
    void ListenForSwitchRequests();
    void AnswerSwitchRequest();
    // Asks the first instance to show its window; logs what came of it.
    void SwitchToFirstInstance();

    bool FSwitchToPrevious = true;
    bool FEnabled = true;
    bool IsCreated = false;
    TNotifyEvent FAlreadyExist;
    TSwitchRequestEvent FOnSwitchRequest;
    std::unique_ptr<TFileLock> FLock;
    QLocalServer* FServer = nullptr;
};
