// The EPSNET master on a deferred serial port against the simulator on a pty, reached through a
// link as a device node that comes and goes: the far end goes away in the middle of the reads
// and comes back as a new pty under the same name. The port is closed after the failed read,
// opened again once the device is back, and the values of the PLC reach the image again.
// A serial line downloads no PUB file, so the tags are loaded here as the data module would
// have them. A port that fails or cannot be opened logs nothing of its own; the gap shows in the
// data dumps.
#include "FaultTestSupport.h"
#include "epsnet/kxEPSNET_component.h"
#include "errorsystem/ErrorSystem.h"

using namespace Faults;

namespace {

class SerialFault : public ::testing::Test {
protected:
    SerialFault()
    {
        TestSupport::WriteFileBytes(FDir.File("var.pub"), PubText);
        FSim = std::make_unique<TSimProcess>(QStringList{"--serial", Link(), "--pub", FDir.File("var.pub")});
        FMaster.SetDeviceName("DEFERED:_" + Link());
        FMaster.SetPubFileName(QString());
        FMaster.SetEnableLogging(true);
        FMaster.SetEnableLoggingToFile(true);
        FMaster.SetLogFileName(FDir.File("line.log"));
        FMaster.OnReceivePacket = [this](IComEventSender*, TDataPacket*) { ++FReceived; };
    }
    ~SerialFault() override { FMaster.Close(); }

    QString Link() const { return FDir.File("ttyPLC"); }
    QString Log() const { return QString::fromUtf8(TestSupport::ReadFileBytes(FDir.File("line.log"))); }
    bool WaitForMessage(const QString& text, int timeOut)
    {
        return TestSupport::WaitUntil([&] { return FMaster.TagList().GetAsString("Message") == text; }, timeOut);
    }

    TestSupport::TTempDir FDir;
    TLogSystemScope FLogSystem;
    std::unique_ptr<TSimProcess> FSim;
    TkxEPSNETMaster FMaster{nullptr};
    int FReceived = 0;
};

} // namespace

TEST_F(SerialFault, FarEndClosedAndReopened)
{
    ASSERT_EQ(FSim->Command("set Message Before"), "ok");
    FMaster.Open();
    FMaster.TagList().LoadFromString(PubText);
    FMaster.AddAllTagToRList();
    ASSERT_TRUE(WaitForMessage("Before", PatientMs)) << Log().toStdString();
    EXPECT_TRUE(Log().contains("\tConnected"));

    QElapsedTimer away;
    away.start();
    ASSERT_EQ(FSim->Command("serial-close 2000"), "ok");
    ASSERT_EQ(FSim->Command("set Message After"), "ok");
    // Back within the 2 s the device is away, the 1 s pause after the port was closed and a read.
    ASSERT_TRUE(WaitForMessage("After", RecoveryBoundMs)) << Log().toStdString();
    EXPECT_GE(away.elapsed(), 1900) << "read through a device that was away";
    const int received = FReceived;
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return FReceived > received + 2; }, PatientMs)) << "the reads go on";
    EXPECT_EQ(Counter(FSim->Command("stats"), "serial-closed"), 1);
}

// Junk, corrupted and doubled answers on the serial line are skipped, and a text longer than
// one answer frame is read in several requests: after every answer the message tag holds a text
// the PLC wrote, whole, never the halves of two.
TEST(SerialLine, LiesAreSkippedAndLongTextsReadWhole)
{
    TestSupport::TTempDir dir;
    TLogSystemScope logSystem;
    const QByteArray pub = "Counter R W 0 INT\r\nMessage R B 10 STRING[1000]\r\n";
    TestSupport::WriteFileBytes(dir.File("var.pub"), pub);
    TSimProcess sim({"--serial", dir.File("ttyPLC"), "--pub", dir.File("var.pub")});
    TkxEPSNETMaster master(nullptr);
    master.SetDeviceName("DEFERED:_" + dir.File("ttyPLC"));
    master.SetPubFileName(QString());
    QStringList seen;
    master.OnReceivePacket = [&](IComEventSender*, TDataPacket*) {
        const QString text = master.TagList().GetAsString("Message");
        if (seen.isEmpty() || seen.back() != text)
            seen << text;
    };
    master.Open();
    master.TagList().LoadFromString(pub);
    master.AddAllTagToRList();

    QStringList written{QString()};
    for (const char* lie : {"junk 4", "badfcs 2", "duplicate 3", "badlen 2"}) {
        SCOPED_TRACE(lie);
        ASSERT_EQ(sim.Command(lie), "ok");
        written << QString(300, QChar(char16_t(u'a' + written.size()))) + QString(400, u'z') + QString::fromUtf8(lie);
        ASSERT_EQ(sim.Command("set Message " + written.back()), "ok");
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return !seen.isEmpty() && seen.back() == written.back(); }, RecoveryBoundMs));
    }
    master.Close();
    for (const QString& text : seen)
        EXPECT_TRUE(written.contains(text)) << text.toStdString();
}
