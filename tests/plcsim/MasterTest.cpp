// The EPSNET master against the simulator: handshake, download, cyclic reads, faults and recovery.
#include "SimProcess.h"
#include "TestSupport.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace {

const char* const PubText = "Msg R B 100 STRING[40] ;message for the speaker\r\n"
                            "Cnt R W 0 INT\r\n"
                            "Lamp X B 0 .1 BOOL\r\n";

// A master with the data module's handlers: every load re-plans the reads.
class MasterTest : public ::testing::TestWithParam<bool> {
protected:
    MasterTest()
    {
        TestSupport::WriteFileBytes(FDir.File("var.pub"), PubText);
        FSim = std::make_unique<TSimProcess>(QStringList{"--udp", "0", "--tcp", "0", "--http", "0", "--pub", FDir.File("var.pub"),
                                                         "--password", "secret"});
        FMaster.SetDeviceName(QStringLiteral("%1:%2:%3").arg(Udp() ? "UDP" : "TCP", FSim->Address()).arg(FSim->Port(Udp() ? "udp" : "tcp")));
        FMaster.SetHttpPort(FSim->Port("http"));
        FMaster.SetPassword("secret");
        FMaster.SetMaxRetries(1);
        FMaster.SetEnableLogging(true);
        FMaster.SetEnableLoggingToFile(true);
        FMaster.SetLogFileName(LogFile());
        FMaster.SetOnPubFileLoaded([this](IComEventSender*) {
            FEvents << "load";
            FMaster.GetComThread()->RList()->Clear();
            FMaster.AddAllTagToRList();
        });
        FMaster.OnReceivePacket = [this](IComEventSender*, TDataPacket* packet) {
            const auto* request = static_cast<const TEPSNETPacket*>(packet);
            FEvents << QStringLiteral("%1%2").arg(AreaToChar(request->Area)).arg(request->Address);
        };
        FMaster.OnDisconnect = [this](IComEventSender*, TDataPacket*, bool&) { ++FDisconnects; };
    }

    ~MasterTest() override { FMaster.Close(); }

    bool Udp() const { return GetParam(); }
    QString LogFile() const { return FDir.File("line.log"); }
    QString Log() const { return QString::fromUtf8(TestSupport::ReadFileBytes(LogFile())); }
    int Count(const QString& event) const { return static_cast<int>(FEvents.count(event)); }
    int Receives() const { return static_cast<int>(FEvents.size()) - Count("load"); }
    bool WaitForReceives(int more)
    {
        const int target = Receives() + more;
        return TestSupport::WaitUntil([&] { return Receives() >= target; }, 20000);
    }

    TestSupport::TTempDir FDir;
    TLogSystemScope FLogSystem;
    std::unique_ptr<TSimProcess> FSim;
    TkxEPSNETMaster FMaster{nullptr};
    QStringList FEvents;
    int FDisconnects = 0;
};

} // namespace

// Connect, download, then one answer per request, the requests in turn.
TEST_P(MasterTest, DownloadsFirstThenReadsEveryRequestInTurn)
{
    FMaster.Open();
    ASSERT_TRUE(WaitForReceives(6)) << Log().toStdString();
    EXPECT_EQ(FEvents.value(0), "load");
    EXPECT_EQ(Count("load"), 1);
    // Area X comes before area R; the R request covers Cnt up to the end of Msg.
    EXPECT_EQ(FEvents.mid(1, 4), QStringList({"X0", "R0", "X0", "R0"}));
    // The list turns as its requests are handed out; what it holds is the two of them.
    QStringList planned;
    {
        auto requests = FMaster.GetComThread()->RList()->LockList();
        for (int i = 0; i < requests.Count(); ++i) {
            const auto* packet = static_cast<const TEPSNETPacket*>(requests.Items(i)->Request.get());
            planned << QStringLiteral("%1%2/%3").arg(AreaToChar(packet->Area)).arg(packet->Address).arg(packet->Length);
        }
    }
    planned.sort();
    EXPECT_EQ(planned, QStringList({"R0/141", "X0/1"}));

    const QString log = Log();
    EXPECT_TRUE(log.contains("Downloading pub file var.pub ...")) << log.toStdString();
    EXPECT_TRUE(log.contains("var.pub downloaded"));
    EXPECT_TRUE(log.contains("\tConnected"));
    EXPECT_EQ(FDisconnects, 0);
}

// Values written on the PLC reach the image.
TEST_P(MasterTest, ValuesOfThePlcReachTheImage)
{
    FMaster.Open();
    ASSERT_TRUE(WaitForReceives(2));
    EXPECT_EQ(FSim->Command("set Msg Dobrý den"), "ok");
    EXPECT_EQ(FSim->Command("set Cnt -12"), "ok");
    EXPECT_EQ(FSim->Command("set Lamp 1"), "ok");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return FMaster.TagList().GetAsString("Msg") == "Dobrý den"; }, 20000));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return FMaster.TagList().GetAsBool("Lamp"); }, 20000));
    // Each value arrives with the next read of its area, whichever comes first.
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return FMaster.TagList().GetAsInteger("Cnt") == -12; }, 20000));
}

// A PLC that stops answering: the line is dropped and connected again, which downloads the
// file once more; once it answers again the reads go on.
TEST_P(MasterTest, RecoversAfterThePlcStopsAnswering)
{
    FMaster.Open();
    ASSERT_TRUE(WaitForReceives(2));
    EXPECT_EQ(FSim->Command("drop 3"), "ok");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Count("load") >= 2; }, 30000)) << Log().toStdString();
    ASSERT_TRUE(WaitForReceives(4)) << Log().toStdString();
    EXPECT_GE(FDisconnects, 1);
    EXPECT_TRUE(Log().contains("TCP Close"));
}

// Short answers and, on UDP, answers with another identifier count as failed reads.
TEST_P(MasterTest, ShortAndForeignAnswersAreFailedReads)
{
    FMaster.Open();
    ASSERT_TRUE(WaitForReceives(2));
    EXPECT_EQ(FSim->Command("short 1"), "ok");
    ASSERT_TRUE(WaitForReceives(3)) << Log().toStdString();
    if (Udp()) {
        EXPECT_EQ(FSim->Command("wrongid 1"), "ok");
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return Log().contains("Invalid MESI identifier"); }, 20000)) << Log().toStdString();
        ASSERT_TRUE(WaitForReceives(3));
    }
}

// A new file on the PLC is loaded at the next connection and the reads follow it.
TEST_P(MasterTest, ANewFileIsLoadedAndTheReadsFollowIt)
{
    FMaster.Open();
    ASSERT_TRUE(WaitForReceives(2));
    TestSupport::WriteFileBytes(FDir.File("new.pub"), QByteArray(PubText) + "Speed Y B 10 REAL\r\n");
    EXPECT_EQ(FSim->Command("load " + FDir.File("new.pub")), "ok 4 tags");
    EXPECT_EQ(FSim->Command("drop 3"), "ok");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Count("Y10") >= 1; }, 30000)) << Log().toStdString();
    EXPECT_GE(Count("load"), 2);
    EXPECT_EQ(FMaster.GetComThread()->RList()->Count(), 3);
}

// A download that fails closes the line; the next connection tries again.
TEST_P(MasterTest, AFailedDownloadIsLoggedAndRetried)
{
    EXPECT_EQ(FSim->Command("pub empty"), "ok");
    FMaster.Open();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return Log().contains("Downliding pub file (var.pub) failed"); }, 20000)) << Log().toStdString();
    EXPECT_EQ(Count("load"), 0);
    EXPECT_EQ(FSim->Command("reset"), "ok");
    ASSERT_TRUE(WaitForReceives(2)) << Log().toStdString();
    EXPECT_EQ(Count("load"), 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, MasterTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& transport) { return transport.param ? "Udp" : "Tcp"; });
