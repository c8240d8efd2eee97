#pragma once
#include <QPixmap>
#include <QString>
#include <QWidget>

class QLabel;
class QProgressBar;

// The window shown while the program starts: its picture with the file version written down the
// left edge, the name banner, a status line and a progress bar.
class TSplashForm : public QWidget {
    Q_OBJECT
public:
    TSplashForm();

    // A picture file used instead of the built-in one where it exists and loads.
    static QString SplashBkImageFile;

    void SetAppName(const QString& name);
    void SetStatus(const QString& text);
    // 0 to 100.
    void SetProgress(int percent);

    QLabel* Picture;
    QLabel* AppNameBanner;
    QLabel* StatusLine;
    QProgressBar* ProgressBar;

private:
    void PlaceBanner();
};

// Creates the one splash window on first use, sets its banner to Name (the product name when
// empty), shows it and paints it at once.
void SplashShow(const QString& Name);
// Status line and progress (a fraction, shown as a percentage).
void SplashStatus(const QString& Text, double Progress);
void SplashHide();
// The splash window while it exists, else null.
TSplashForm* SplashForm();

// The pictures, each falling back to a plain one when its resource cannot be read: a missing
// picture never stops the program.
QPixmap SplashPicture();
QPixmap AppNameBannerPixmap(const QString& name, const QFont& font);
