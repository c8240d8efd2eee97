#include "SimProcess.h"
#include "epsnet/kxEPSNET_pubfile.h"
#include "platform/Exceptions.h"
#include <QElapsedTimer>
#include <gtest/gtest.h>

// A web server that holds its answers: a download asked to stop raises "cancelled" about a second
// after the question turns true, instead of waiting for the server or the time-out; a question
// that stays false leaves the time-out in force.
TEST(PubFileDownload, StopsWhenCancelledWhileTheServerStalls)
{
    TSimProcess sim({"--http", "0"});
    ASSERT_EQ(sim.Command("http-delay 60000"), "ok");
    QElapsedTimer clock;
    clock.start();
    QString error;
    try {
        GetPubFile(sim.Address(), {}, {}, "var.pub", TCodePage(), sim.Port("http"), PubFileTimeOut, [&] { return clock.elapsed() > 300; });
    } catch (const Exception& e) {
        error = e.Message();
    }
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(error, QString("HTTP GET http://%1:%2/syswww/login.xml cancelled").arg(sim.Address()).arg(sim.Port("http")));

    ASSERT_EQ(sim.Command("http-delay 1500"), "ok");
    EXPECT_THROW(GetPubFile(sim.Address(), {}, {}, "var.pub", TCodePage(), sim.Port("http"), 500, [] { return false; }), Exception)
        << "the time-out still applies";
}
