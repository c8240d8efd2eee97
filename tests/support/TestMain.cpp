#include "platform/ApplicationEvents.h"
#include <gtest/gtest.h>
#ifdef VOCATOR_TEST_GUI_APP
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#endif

// Tests run on the main thread with an application object, as the program does; the window
// tests get the widgets' application, on the offscreen platform unless one is named (the build
// lists the tests on machines without a display).
int main(int argc, char** argv)
{
#ifdef VOCATOR_TEST_GUI_APP
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TNotifyingApplication<TTestApplication> app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
