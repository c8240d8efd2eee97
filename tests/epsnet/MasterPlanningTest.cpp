#include "EpsnetTestSupport.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace {

// A master opened on a line where nothing answers: enough for planning, which only fills the
// thread's cyclic read list.
class MasterPlanningTest : public ::testing::Test {
protected:
    void Open(const QString& deviceName)
    {
        FMaster = std::make_unique<TkxEPSNETMaster>(nullptr);
        FMaster->SetPubFileName(QString());
        FMaster->SetDeviceName(deviceName);
        FMaster->Open();
        ASSERT_NE(FMaster->GetComThread(), nullptr);
    }

    void Plan(const QStringList& pubLines)
    {
        FMaster->TagList().LoadFromString(pubLines.join(QStringLiteral("\r\n")));
        FMaster->AddAllTagToRList();
    }

    // The planned requests as "R0/240 X0/1", parts of a longer read with "#" and their number.
    QString Requests() const
    {
        QStringList requests;
        auto list = FMaster->GetComThread()->RList()->LockList();
        for (int i = 0; i < list.Count(); ++i) {
            const auto* packet = static_cast<const TEPSNETPacket*>(list.Items(i)->Request.get());
            QString request = QStringLiteral("%1%2/%3").arg(AreaToChar(packet->Area)).arg(packet->Address).arg(packet->Length);
            if (packet->PartCount > 1)
                request += QStringLiteral("#%1").arg(packet->PartIndex);
            requests << request;
        }
        return requests.join(u' ');
    }

    TLogSystemScope FLog;
    std::unique_ptr<TkxEPSNETMaster> FMaster;
};

const QString Udp = QStringLiteral("UDP:127.0.0.1:9");
const QString Tcp = QStringLiteral("TCP:127.0.0.1:9");

} // namespace

TEST_F(MasterPlanningTest, GroupsRunFromTheFirstTagToTheEndOfTheLast)
{
    Open(Udp);
    Plan({"A R B 0 INT", "B R B 10 DINT", "C R B 200 STRING[39]"});
    EXPECT_EQ(Requests(), "R0/240");
}

TEST_F(MasterPlanningTest, GroupsCloseAtTheLimitAndAtAnAreaChange)
{
    Open(Udp);
    Plan({"A R B 0 INT", "B R B 245 DINT"});
    EXPECT_EQ(Requests(), "R0/2 R245/4");

    FMaster->GetComThread()->RList()->Clear();
    Plan({"A R B 0 INT", "B X B 0 USINT"});
    EXPECT_EQ(Requests(), "X0/1 R0/2");

    // A tag inside another does not shorten the read: it covers the furthest end of any tag.
    FMaster->GetComThread()->RList()->Clear();
    Plan({"A R B 0 STRING[99]", "B R B 10 INT"});
    EXPECT_EQ(Requests(), "R0/100");
}

// A variable longer than one request is read in as many parts of at most 246 bytes as it needs,
// on any line, and part 0 once more to confirm; a tag inside it adds nothing.
TEST_F(MasterPlanningTest, LongTagsAreReadInPartsThatFitTheFrame)
{
    for (const QString& line : {Udp, Tcp}) {
        SCOPED_TRACE(line.toStdString());
        Open(line);
        Plan({"S R B 100 STRING[299]"});
        EXPECT_EQ(Requests(), "R100/246#0 R346/54#1 R100/246#2");
        FMaster->GetComThread()->RList()->Clear();
        Plan({"S R B 0 STRING[599]", "In R B 300 INT", "After R B 700 INT"});
        EXPECT_EQ(Requests(), "R0/246#0 R246/246#1 R492/108#2 R0/246#3 R700/2");
        EXPECT_NO_THROW(FMaster->AddR(_epsnet_r, 0, 246, 0));
        EXPECT_EQ(ErrorOf([&] { FMaster->AddR(_epsnet_r, 0, 247, 0); }), "EEPSNETException: Request is too long (247)");
    }
}

TEST_F(MasterPlanningTest, NothingToPlanAndAClosedMaster)
{
    Open(Udp);
    FMaster->AddAllTagToRList();
    EXPECT_EQ(Requests(), "");
    TkxEPSNETMaster closed(nullptr);
    closed.SetDeviceName(Udp);
    EXPECT_EQ(ErrorOf([&] { closed.AddR(_epsnet_r, 0, 2, 0); }), "EEPSNETException: Communication with UDP:127.0.0.1:9 is not open");
}

TEST_F(MasterPlanningTest, SettingsReachTheThread)
{
    FMaster = std::make_unique<TkxEPSNETMaster>(nullptr);
    EXPECT_EQ(FMaster->Address(), 126);
    EXPECT_EQ(FMaster->PubFileName(), "var.pub");
    EXPECT_EQ(FMaster->TCPTimeOut(), 2000);
    FMaster->SetDeviceName(Udp);
    FMaster->SetDestinationAddress(5);
    FMaster->SetPubFileName(QString());
    FMaster->Open();
    TkxEPSNETMasterThread* thread = FMaster->MasterThread();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->Address(), 126);
    EXPECT_EQ(thread->DestinationAddress(), 5);
    EXPECT_EQ(thread->TagList(), &FMaster->TagList());
    FMaster->SetAddress(7);
    FMaster->SetPubFileName("other.pub");
    EXPECT_EQ(thread->Address(), 7);
    EXPECT_EQ(thread->PubFileName(), "other.pub");
    FMaster->Close();
    EXPECT_EQ(FMaster->MasterThread(), nullptr);
    EXPECT_EQ(FMaster->GetComThread(), nullptr);
}
