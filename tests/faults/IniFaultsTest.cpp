// The windowless vocator with an ini file full of garbage around its keys: lines that are no
// key, binary bytes, sections without an end, keys without a value. What can be read is used, the
// rest falls back to its default, and the program speaks what the PLC writes.
#include "FaultTestSupport.h"

using namespace Faults;

TEST(IniFault, GarbageAroundTheKeysIsPassedOver)
{
    TPlcWithVocator plc(TLine::Udp, PubText);
    plc.StartSim({"--set", "Message=Through the garbage"});
    QByteArray ini = "\xEF\xBB\xBF\x00\x01garbage without a section\r\n[unclosed section\r\n=value without a key\r\n";
    ini += QByteArray(300, '\xFF') + "\n[]\n";
    ini += plc.Ini(Welcome, "Message").replace("[PLC]\n", "[PLC]\nDestinationAddress=\nMaxRetries=many\n\x7F\x80=\x81\n");
    ini += "[TTS]\nTag_Message\n";
    plc.Vocator.WriteIni(ini);
    ASSERT_TRUE(plc.Vocator.Start());
    ASSERT_TRUE(plc.Vocator.WaitForSpoken(2, PatientMs)) << plc.Vocator.Log().toStdString();
    ASSERT_TRUE(plc.WaitForReads());
    EXPECT_TRUE(plc.Vocator.Stop());
    EXPECT_EQ(plc.Vocator.Spoken(), (QStringList{Welcome, "Through the garbage"}));
}
