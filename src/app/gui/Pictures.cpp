#include "app/gui/Pictures.h"
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The library is static: its resources are linked in only when something asks for them. Qt's
// macro must be used outside any namespace.
static void EnsurePictureResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(Pictures);
        return true;
    }();
    (void)loaded;
}

namespace {

struct TImgListEntry {
    int index;
    const char* themeName;
    const char* resource;
};

constexpr TImgListEntry ImgList[] = {
    {3, "document-save", ":/pictures/save.svg"},
    {5, "media-playback-stop", ":/pictures/stop.svg"},
    {6, "media-playback-start", ":/pictures/start.svg"},
};

} // namespace

QIcon SvgIcon(const QString& fileName)
{
    // Rendered here rather than through the SVG icon plugin, which a machine may lack.
    QSvgRenderer renderer(fileName);
    if (!renderer.isValid())
        return QIcon();
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon ApplicationIcon()
{
    EnsurePictureResources();
    return SvgIcon(QStringLiteral(":/pictures/application.svg"));
}

QIcon ImgListIcon(int index)
{
    EnsurePictureResources();
    for (const TImgListEntry& entry : ImgList) {
        if (entry.index != index)
            continue;
        const QString themeName = QString::fromLatin1(entry.themeName);
        if (QIcon::hasThemeIcon(themeName))
            return QIcon::fromTheme(themeName);
        return SvgIcon(QString::fromLatin1(entry.resource));
    }
    return QIcon();
}
