#include "TestSupport.h"
#include "VocatorProcess.h"
#include <gtest/gtest.h>

// The tray program whose initialisation fails (a baud rate out of range): the failure is logged
// and shown in a message box, no "After" or "Exiting" line follows, and the exit status is not 0.
TEST(StartUpFailure, IsLoggedShownAndEndsTheProgram)
{
    const TestSupport::TTempDir runtime;
    TestSupport::TVocatorProcess vocator;
    vocator.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
    vocator.SetEnvironment("XDG_RUNTIME_DIR", runtime.Path());
    vocator.SetEnvironment("VOCATOR_ANSWER_MESSAGE_BOXES", "1");
    vocator.WriteIni("[PLC]\nBaudRate=-5\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
    vocator.Process().setProcessChannelMode(QProcess::SeparateChannels);
    ASSERT_TRUE(vocator.Start());
    ASSERT_TRUE(vocator.Process().waitForFinished(60000));

    const QString failure = "EkxComException - Baud rate out of range (-5)";
    EXPECT_NE(vocator.Process().exitCode(), 0);
    const QString log = vocator.Log();
    EXPECT_TRUE(log.contains("\tBefore vocator Initialize...")) << log.toStdString();
    EXPECT_TRUE(log.contains("\t" + failure + "\r\n")) << log.toStdString();
    EXPECT_FALSE(log.contains("After vocator"));
    EXPECT_FALSE(log.contains("Exiting"));
    EXPECT_TRUE(QString::fromLocal8Bit(vocator.Process().readAllStandardError()).contains("Message box: " + failure));
}
