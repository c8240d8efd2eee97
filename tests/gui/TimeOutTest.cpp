#include "app/gui/Timeout.h"
#include <QElapsedTimer>
#include <gtest/gtest.h>

// The one-shot timer fires once per start, Wait returning when it has; a disabled one neither
// starts nor makes Wait block; ReStart gives a full new interval.
TEST(TimeOut, FiresOncePerStart)
{
    TTimeOut timeOut;
    timeOut.SetInterval(50);
    int fired = 0;
    int waits = 0;
    timeOut.OnTimer = [&](QObject*) { ++fired; };
    timeOut.OnWait = [&](QObject*) { ++waits; };
    timeOut.Wait();
    EXPECT_EQ(fired, 1);
    EXPECT_GT(waits, 0);
    EXPECT_FALSE(timeOut.running());

    timeOut.SetInterval(300);
    timeOut.Start();
    QElapsedTimer clock;
    clock.start();
    timeOut.ReStart();
    timeOut.Wait();
    EXPECT_EQ(fired, 2);
    EXPECT_GE(clock.elapsed(), 290);

    timeOut.Enabled = false;
    timeOut.Wait();
    timeOut.Start();
    EXPECT_FALSE(timeOut.running());
    EXPECT_EQ(fired, 2);
}
