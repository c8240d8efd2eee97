#include "platform/InstanceLock.h"
#include "TestSupport.h"
#include <QFile>
#include <gtest/gtest.h>
#include <memory>

// Two spellings of one ini file share the lock, another ini file has its own, and the lock is free
// again once its holder is gone (its file removed with it).
TEST(InstanceLock, KeyedOnTheIniFilesCanonicalPath)
{
    TestSupport::TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("a.ini"), "[common]\n");
    ASSERT_TRUE(QFile::link(dir.Path(), dir.File("link")));
    auto first = std::make_unique<TInstanceLock>(dir.File("a.ini"));
    ASSERT_TRUE(first->Acquired());
    EXPECT_FALSE(TInstanceLock(dir.File("link/./a.ini")).Acquired());
    EXPECT_TRUE(TInstanceLock(dir.File("b.ini")).Acquired()) << "a missing ini file is guarded too";
    const QString lockFile = first->LockFileName();
    first.reset();
    EXPECT_FALSE(QFile::exists(lockFile));
    EXPECT_TRUE(TInstanceLock(dir.File("link/a.ini")).Acquired());
}
