#include "app/gui/SplashScreen.h"
#include "app/gui/Controls.h"
#include "platform/VersionInfo.h"
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QSvgRenderer>
#include <cmath>

// The pictures live in the library's resources, which a program linking it statically must
// register itself; outside any namespace, as the registration function is a global one.
static void InitSplashResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(Splash);
        return true;
    }();
    (void)registered;
}

namespace {

constexpr int PictureWidth = 500;
constexpr int PictureHeight = 295;
constexpr int progressBarWidth = 194;
constexpr int progressBarHeight = 12;
constexpr int BannerTop = 192;
constexpr int BannerHeight = 38;
constexpr int StatusLineHeight = 25;

QPointer<TSplashForm> TheSplashForm;

// The resource drawn at its own size or at the size asked; a null pixmap when it cannot be read.
QPixmap RenderSvg(const QString& resource, QSize size = {})
{
    QSvgRenderer renderer(resource);
    if (!renderer.isValid())
        return QPixmap();
    if (size.isEmpty())
        size = renderer.defaultSize();
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QPixmap LoadPicture()
{
    if (!TSplashForm::SplashBkImageFile.isEmpty() && QFile::exists(TSplashForm::SplashBkImageFile)) {
        QPixmap file(TSplashForm::SplashBkImageFile);
        if (!file.isNull())
            return file;
    }
    QPixmap picture = RenderSvg(QStringLiteral(":/splash/splash.svg"), QSize(PictureWidth, PictureHeight));
    if (picture.isNull()) {
        picture = QPixmap(PictureWidth, PictureHeight);
        picture.fill(QColor(0x0d, 0x23, 0x40));
    }
    return picture;
}

// The file version reads downwards from (17, 125): turned by 270 degrees against the clock.
void DrawFileVersion(QPixmap& picture)
{
    QPainter painter(&picture);
    QFont font = QApplication::font();
    font.setPointSize(8);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.translate(17, 125);
    painter.rotate(90);
    painter.drawText(0, painter.fontMetrics().ascent(), GetPrgInfo(QStringLiteral("FileVersion")));
}

} // namespace

QString TSplashForm::SplashBkImageFile;

QPixmap SplashPicture()
{
    InitSplashResources();
    QPixmap picture = LoadPicture();
    DrawFileVersion(picture);
    return picture;
}

QPixmap AppNameBannerPixmap(const QString& name, const QFont& font)
{
    InitSplashResources();
    QPixmap corner = RenderSvg(QStringLiteral(":/splash/appnamecorner.svg"));
    if (corner.isNull()) {
        corner = QPixmap(19, BannerHeight);
        corner.fill(QColor(0x1f, 0x5f, 0x99));
    }
    const int width = QFontMetrics(font).horizontalAdvance(name) + 2 * corner.width() + 40;
    QPixmap banner(width, BannerHeight);
    banner.fill(Qt::transparent);
    QPainter painter(&banner);
    const QRect middle(corner.width(), 0, width - 2 * corner.width(), BannerHeight);
    const QPixmap back = RenderSvg(QStringLiteral(":/splash/appnameback.svg"));
    if (back.isNull())
        painter.fillRect(middle, QColor(0x1f, 0x5f, 0x99));
    else
        painter.drawPixmap(middle, back);
    painter.drawPixmap(0, 0, corner);
    painter.drawPixmap(width - corner.width(), 0, corner.transformed(QTransform().scale(-1, 1)));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, width, BannerHeight), Qt::AlignCenter | Qt::TextSingleLine, name);
    return banner;
}

TSplashForm::TSplashForm() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint)
{
    NameControl(this, QStringLiteral("SplashForm"), GetPrgInfo(QStringLiteral("ProductName")));
    setAttribute(Qt::WA_DeleteOnClose);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);

    const QPixmap picture = SplashPicture();
    setFixedSize(picture.width() + 2, picture.height() + 2);
    Picture = new QLabel(this);
    NameControl(Picture, QStringLiteral("Image1"));
    Picture->setPixmap(picture);
    Picture->setGeometry(1, 1, picture.width(), picture.height());

    AppNameBanner = new QLabel(this);
    NameControl(AppNameBanner, QStringLiteral("AppNameBanner"));

    ProgressBar = new QProgressBar(this);
    NameControl(ProgressBar, QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);
    ProgressBar->setStyleSheet(QStringLiteral("QProgressBar { border: none; background: white; }"
                                              "QProgressBar::chunk { background: rgb(145, 145, 196); }"));
    ProgressBar->setGeometry((width() - progressBarWidth) / 2, height() - 30, progressBarWidth, progressBarHeight);

    StatusLine = new QLabel(this);
    NameControl(StatusLine, QStringLiteral("StatusLine"));
    QFont statusFont = QApplication::font();
    statusFont.setPointSize(10);
    StatusLine->setFont(statusFont);
    StatusLine->setAlignment(Qt::AlignCenter);
    StatusLine->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    StatusLine->setGeometry(ProgressBar->x(), ProgressBar->y() - StatusLineHeight, progressBarWidth, StatusLineHeight);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TSplashForm::SetAppName(const QString& name)
{
    AppNameBanner->setText(QString());
    QFont font = QApplication::font();
    font.setPointSize(15);
    font.setBold(true);
    AppNameBanner->setPixmap(AppNameBannerPixmap(name, font));
    AppNameBanner->setAccessibleName(name);
    PlaceBanner();
}

void TSplashForm::PlaceBanner()
{
    const QSize size = AppNameBanner->pixmap().size();
    AppNameBanner->setGeometry((width() - size.width()) / 2, BannerTop, size.width(), size.height());
}

void TSplashForm::SetStatus(const QString& text)
{
    StatusLine->setText(text);
    StatusLine->repaint();
}

void TSplashForm::SetProgress(int percent) { ProgressBar->setValue(percent); }

TSplashForm* SplashForm() { return TheSplashForm.data(); }

void SplashShow(const QString& Name)
{
    if (!TheSplashForm)
        TheSplashForm = new TSplashForm();
    TheSplashForm->SetAppName(Name.isEmpty() ? GetPrgInfo(QStringLiteral("ProductName")) : Name);
    TheSplashForm->show();
    TheSplashForm->repaint();
    // Lets the window system map the window before the slow part of the start-up begins.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void SplashStatus(const QString& Text, double Progress)
{
    if (!TheSplashForm)
        return;
    TheSplashForm->SetStatus(Text);
    TheSplashForm->SetProgress(static_cast<int>(std::lround(Progress * 100)));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void SplashHide() { delete TheSplashForm.data(); }
