#pragma once
#include <QObject>
#include <QString>

// Base of the application's data module: a non-visual container that owns the components it
// is created with and is initialised and finalised by the main window. The icons its windows
// take from it live with the windows, since the core holds no images.
class TAbstractDMod : public QObject {
    Q_OBJECT
public:
    explicit TAbstractDMod(QObject* owner = nullptr);

    const QString& IniFileName() const noexcept { return FIniFileName; }
    void SetIniFileName(const QString& value) { FIniFileName = value; }

    virtual void InitModule(const QString& AIniFile, const QString& Section);
    virtual void FinalizeModule() {}

protected:
    QString FIniFileName;
};
