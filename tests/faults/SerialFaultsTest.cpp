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
