#include "app/gui/Pictures.h"
#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>

namespace {

bool HasVisiblePixels(const QIcon& icon, int size)
{
    const QImage image = icon.pixmap(size, size).toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() > 0)
                return true;
    return false;
}

} // namespace

// The program's pictures draw at tray size; an unknown image or a missing file gives an empty icon.
TEST(Pictures, OwnPicturesDrawAndMissingOnesAreEmpty)
{
    EXPECT_TRUE(HasVisiblePixels(ApplicationIcon(), 16));
    for (const int index : {3, 5, 6})
        EXPECT_TRUE(HasVisiblePixels(ImgListIcon(index), 16)) << index;
    for (const int index : {-1, 0, 4, 7})
        EXPECT_TRUE(ImgListIcon(index).isNull()) << index;
    EXPECT_TRUE(SvgIcon(QStringLiteral(":/pictures/missing.svg")).isNull());
}
