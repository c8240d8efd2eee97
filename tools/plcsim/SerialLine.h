#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;
class TSimAnswerer;
class TSimStream;

// EPSNET over a serial line: a pty whose slave end the program under test opens through a
// symbolic link of a given name, served on the master end as a TCP stream is. The line keeps a
// slave descriptor of its own open, so that the master end never sees a hang-up while the
// program has its port closed. It can be unplugged: the pty goes away (the program's open port
// sees a hang-up) and after a while a new one takes its place under the same link.
class TSimSerialLine : public QObject {
    Q_OBJECT
public:
    TSimSerialLine(TSimAnswerer& answerer, QString link, QObject* owner = nullptr);
    ~TSimSerialLine() override;
    TSimSerialLine(const TSimSerialLine&) = delete;
    TSimSerialLine& operator=(const TSimSerialLine&) = delete;

    // Opens a new pty and points the link to it. Raises Exception when the pty cannot be made
    // or the link cannot be set, or when the link's name is taken by something else than a link.
    void Plug();
    // Closes the pty and removes the link now, and plugs a new pty in after the given time.
    void Unplug(int milliseconds);
    const QString& Link() const { return FLink; }

private:
    void Close();
    void PlugLater();
    void Read();
    void Write(QByteArrayView bytes);
    void PointLinkTo(const QByteArray& device);

    TSimAnswerer& FAnswerer;
    QString FLink;
    int FMaster = -1;
    int FSlave = -1; // held only to keep the line up; never read
    bool FLinked = false; // the link is ours to remove
    QSocketNotifier* FNotifier = nullptr;
    TSimStream* FStream = nullptr;
    QTimer FReplug;
};
