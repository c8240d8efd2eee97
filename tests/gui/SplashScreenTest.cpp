#include "app/gui/SplashScreen.h"
#include "platform/VersionInfo.h"
#include "TestSupport.h"
#include <QLabel>
#include <QProgressBar>
#include <gtest/gtest.h>

// The splash window keeps its layout with a picture file that cannot be read (the built-in
// picture takes its place), shows the status and progress it is given, and goes on SplashHide.
TEST(SplashScreen, ShowsStatusAndProgressDespiteABrokenPicture)
{
    const TestSupport::TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("broken.png"), "not a picture");
    TSplashForm::SplashBkImageFile = dir.File("broken.png");
    SplashShow(QString());
    SplashStatus("Creating forms ...", 0.4);
    TSplashForm* splash = SplashForm();
    ASSERT_NE(splash, nullptr);
    EXPECT_EQ(splash->size(), QSize(502, 297));
    EXPECT_EQ(splash->StatusLine->text(), "Creating forms ...");
    EXPECT_EQ(splash->ProgressBar->value(), 40);
    EXPECT_EQ(splash->ProgressBar->geometry(), QRect(154, 267, 194, 12));
    EXPECT_EQ(splash->AppNameBanner->accessibleName(), GetPrgInfo("ProductName"));
    EXPECT_EQ(splash->AppNameBanner->y(), 192);
    SplashHide();
    EXPECT_EQ(SplashForm(), nullptr);
    TSplashForm::SplashBkImageFile.clear();
}
