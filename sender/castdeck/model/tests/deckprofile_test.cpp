// Tests of the single-instance lock and the stored recent-file list.
#include "sender/castdeck/model/deckprofile.h"

#include "platform/registry.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using castdeck::InstanceLock;

// Sets an environment variable for the test's lifetime.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class DeckProfileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
    }

    qvtest::TempDir m_temp{"castdeck_profile"};
    std::filesystem::path m_dir;
};

TEST_F(DeckProfileTest, SecondLockOnTheSameFileIsRefusedUntilReleased)
{
    const std::string path = (m_dir / "instance.lock").string();
    InstanceLock first;
    InstanceLock second;
    EXPECT_EQ(first.Acquire(path), InstanceLock::Result::Acquired);
    EXPECT_TRUE(first.IsHeld());
    EXPECT_EQ(second.Acquire(path), InstanceLock::Result::HeldElsewhere);
    EXPECT_FALSE(second.IsHeld());

    first.Release();
    EXPECT_EQ(second.Acquire(path), InstanceLock::Result::Acquired);
}

TEST_F(DeckProfileTest, LockIsSeenByAnotherProcessAndGoesWithItsHolder)
{
    const std::string path = (m_dir / "instance.lock").string();
    const auto tryInChild = [&path] {
        const pid_t pid = fork();
        if (pid == 0) {
            InstanceLock lock;
            _exit(static_cast<int>(lock.Acquire(path)));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    {
        InstanceLock held;
        ASSERT_EQ(held.Acquire(path), InstanceLock::Result::Acquired);
        EXPECT_EQ(tryInChild(), static_cast<int>(InstanceLock::Result::HeldElsewhere));
    }
    EXPECT_EQ(tryInChild(), static_cast<int>(InstanceLock::Result::Acquired));
}

TEST_F(DeckProfileTest, LockInAMissingDirectoryIsUnavailable)
{
    InstanceLock lock;
    EXPECT_EQ(lock.Acquire((m_dir / "no" / "such" / "dir.lock").string()),
              InstanceLock::Result::Unavailable);
    EXPECT_EQ(lock.Acquire(""), InstanceLock::Result::Unavailable);
}

TEST_F(DeckProfileTest, DefaultLockLivesInTheRuntimeDirectory)
{
    ScopedEnv runtime("XDG_RUNTIME_DIR", m_dir.string());
    EXPECT_EQ(InstanceLock::DefaultPath(), (m_dir / "QvTidewell_AB12.lock").string());

    // Without a runtime directory it falls back to the configuration directory.
    ScopedEnv noRuntime("XDG_RUNTIME_DIR", "");
    ScopedEnv config("XDG_CONFIG_HOME", (m_dir / "config").string());
    EXPECT_EQ(InstanceLock::DefaultPath(),
              (m_dir / "config/castnet/QvTidewell_AB12.lock").string());
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "config/castnet"));
}

TEST_F(DeckProfileTest, RecentFilesRoundTripThroughTheRegistry)
{
    ScopedEnv registry("QV_REGISTRY_DIR", m_dir.string());
    EXPECT_TRUE(castdeck::LoadRecentFiles().empty());

    ASSERT_TRUE(castdeck::SaveRecentFiles(
        {"/a/one.mpg", "/b/two.ts", "/c/three.mpg", "/d/four.mpg", "/e/five.mpg"}));
    EXPECT_EQ(castdeck::LoadRecentFiles(),
              (std::vector<std::string>{"/a/one.mpg", "/b/two.ts", "/c/three.mpg", "/d/four.mpg"}));

    // Stored as the class library stores its list: File1 is the most recent.
    qvplat::RegKey key;
    ASSERT_EQ(
        key.Open(qvplat::RegRoot::CurrentUser, "Software\\Talvex\\castdeck\\Recent File List"),
        qvplat::RegResult::Success);
    qvplat::RegValue first;
    ASSERT_EQ(key.QueryValue("File1", first), qvplat::RegResult::Success);
    EXPECT_EQ(first, qvplat::MakeStringValue("File1", "/a/one.mpg"));
    qvplat::RegValue fifth;
    EXPECT_EQ(key.QueryValue("File5", fifth), qvplat::RegResult::NotFound);

    // A shorter list replaces the longer one.
    ASSERT_TRUE(castdeck::SaveRecentFiles({"/z/last.mpg"}));
    EXPECT_EQ(castdeck::LoadRecentFiles(), std::vector<std::string>{"/z/last.mpg"});
}

} // namespace
