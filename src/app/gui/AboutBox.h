#pragma once
#include <QDialog>

class QLabel;

// The about box: the program's icon, name and version, the Qt it runs on, and the ini file and
// log file in use.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* owner = nullptr);

    // Reads the values anew, as the log file may have changed since the box was built.
    void Refresh();

    QLabel* ProductName;
    QLabel* Version;
    QLabel* QtVersion;
    QLabel* IniFile;
    QLabel* LogFile;
};
