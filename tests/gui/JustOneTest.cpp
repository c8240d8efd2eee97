#include "TestSupport.h"
#include "VocatorProcess.h"
#include <gtest/gtest.h>

using TestSupport::TTempDir;
using TestSupport::TVocatorProcess;
using TestSupport::WaitUntil;

namespace {

constexpr int PatientMs = 60000;

// The tray program on the offscreen platform, its single-instance guard in the test's own folder.
void MakeWindowed(TVocatorProcess& vocator, const TTempDir& runtime)
{
    vocator.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
    vocator.SetEnvironment("XDG_RUNTIME_DIR", runtime.Path());
    vocator.WriteIni("[common]\ntimer=100\n[TTS]\nSAY_EXE=" RECORD_ARGS_PATH "\n");
}

bool WaitForLog(const TVocatorProcess& vocator, const QString& text, qsizetype count = 1)
{
    return WaitUntil([&] { return vocator.Log().count(text) >= count; }, PatientMs);
}

} // namespace

// A second start of the tray program, from another folder, brings the first one's window to the
// front and ends at once without speaking; once the first one is killed, a new start runs
// normally despite the lock file and socket left behind, and ends on SIGTERM.
TEST(SingleInstance, SecondStartRaisesTheFirstAndEnds)
{
    const TTempDir runtime;
    TVocatorProcess first;
    TVocatorProcess second;
    MakeWindowed(first, runtime);
    MakeWindowed(second, runtime);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(WaitForLog(first, "\tAfter vocator Initialize...")) << first.Log().toStdString();

    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(second.Process().waitForFinished(PatientMs));
    EXPECT_EQ(second.Process().exitCode(), 0);
    const QString log = second.Log();
    EXPECT_TRUE(log.contains("vocator is already running: its window was brought to the front")) << log.toStdString();
    EXPECT_TRUE(log.contains("--== Exiting vocator application")) << log.toStdString();
    EXPECT_TRUE(second.Spoken().isEmpty());
    EXPECT_TRUE(first.Running());

    first.Process().kill();
    first.Process().waitForFinished();
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitForLog(second, "\tAfter vocator Initialize...", 2)) << second.Log().toStdString();
    EXPECT_TRUE(second.WaitForSpoken(1));
    EXPECT_EQ(second.Log().count("is already running"), 1);
    EXPECT_TRUE(second.Stop());
    EXPECT_EQ(second.Log().count("--== Exiting vocator application"), 2);
}
