#include "platform/ApplicationEvents.h"
#include <QCoreApplication>
#include <gtest/gtest.h>

// Tests run on the main thread with an application object, as the program does.
int main(int argc, char** argv)
{
    TNotifyingApplication<QCoreApplication> app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
