// Named objects between two real processes: this test and named_peer,
// started fresh for each case, both in a private runtime directory.
#include "platform/named.h"
#include "platform/sync.h"
#include "platform/testsupport/peer.h"
#include "settings_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using qvplat::NamedWait;

class NamedTest : public ::testing::Test
{
protected:
    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime(); // before the peer, which inherits it
    qvtest::PeerProcess m_peer{NAMED_PEER_PATH};
};

TEST_F(NamedTest, MemoryIsSharedAndAStaleObjectComesBackNew)
{
    ASSERT_EQ(m_peer.Ask("memory blk 4096"), "ok 0 4096");
    ASSERT_EQ(m_peer.Ask("put 100 hello"), "ok");

    qvplat::SharedMemory memory;
    ASSERT_TRUE(memory.Create("blk", 1000)); // an existing object is mapped whole
    EXPECT_TRUE(memory.Existed());
    EXPECT_EQ(memory.Size(), 4096U);
    EXPECT_STREQ(static_cast<const char*>(memory.Data()) + 100, "hello");
    std::strcpy(static_cast<char*>(memory.Data()) + 200, "world");
    EXPECT_EQ(m_peer.Ask("get 200"), "ok world");

    qvplat::SharedMemory larger;
    EXPECT_FALSE(larger.Create("blk", 8192)); // never mapped short
    EXPECT_EQ(larger.Error(), EINVAL);

    // Nobody holds it once the peer dies: open fails, create makes it anew.
    memory.Close();
    m_peer.Kill();
    qvplat::SharedMemory again;
    EXPECT_FALSE(again.Open("blk"));
    EXPECT_EQ(again.Error(), ENOENT);
    ASSERT_TRUE(again.Create("blk", 4096));
    EXPECT_FALSE(again.Existed());
    EXPECT_EQ(static_cast<const char*>(again.Data())[100], 0);

    struct stat info = {};
    ASSERT_EQ(::stat(qvplat::NamedObjectPath('m', "blk").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

TEST_F(NamedTest, MutexTimesOutAndIsRecoveredFromAKilledHolder)
{
    ASSERT_EQ(m_peer.Ask("mutex mx"), "ok 0");
    ASSERT_EQ(m_peer.Ask("lock 0"), "done");

    qvplat::NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("mx"));
    EXPECT_TRUE(mutex.Existed());
    EXPECT_EQ(mutex.Lock(30), NamedWait::Timeout);
    EXPECT_FALSE(mutex.Unlock());

    m_peer.Kill(); // dies holding it
    ASSERT_EQ(mutex.Lock(qvplat::kInfinite), NamedWait::Done);
    ASSERT_EQ(mutex.Lock(0), NamedWait::Done); // recursive for its holder
    ASSERT_TRUE(mutex.Unlock());
    qvplat::NamedMutex keeper; // keeps the mutex alive when `mutex` closes
    ASSERT_TRUE(keeper.Open("mx"));
    auto tryElsewhere = [] {
        NamedWait result = NamedWait::Failed;
        std::thread([&] {
            qvplat::NamedMutex other;
            result = other.Open("mx") ? other.Lock(0) : NamedWait::Failed;
        }).join();
        return result;
    };
    EXPECT_EQ(tryElsewhere(), NamedWait::Timeout); // held until the last unlock
    mutex.Close();                                 // lets go of what this thread holds
    EXPECT_EQ(tryElsewhere(), NamedWait::Done);
}

TEST_F(NamedTest, EventWakesAnotherProcessAndStaysSetUntilReset)
{
    qvplat::NamedEvent event;
    ASSERT_TRUE(event.Create("ev"));
    EXPECT_EQ(event.Wait(0), NamedWait::Timeout); // starts clear
    ASSERT_EQ(m_peer.Ask("event ev"), "ok 1");
    ASSERT_TRUE(m_peer.Send("wait 60000"));
    event.Set();
    EXPECT_EQ(m_peer.Answer(), "done");
    EXPECT_EQ(m_peer.Ask("wait 0"), "done"); // manual reset
    event.Reset();
    EXPECT_EQ(m_peer.Ask("wait 10"), "timeout");
}

TEST_F(NamedTest, NamesAreCheckedAndLongOnesShortenedApart)
{
    qvplat::SharedMemory memory;
    for (const char* bad : {"", "a/b"}) {
        EXPECT_FALSE(memory.Create(bad, 16)) << bad;
        EXPECT_EQ(memory.Error(), EINVAL) << bad;
    }
    const std::string stem(400, 'n');
    qvplat::SharedMemory first;
    qvplat::SharedMemory second;
    ASSERT_TRUE(first.Create(stem + "1", 16));
    ASSERT_TRUE(second.Create(stem + "2", 16));
    EXPECT_FALSE(second.Existed());
    EXPECT_LE(fs::path(qvplat::NamedObjectPath('m', stem + "1")).filename().string().size(), 250U);

    if (::geteuid() != 0) {
        GTEST_SKIP() << "another user's object needs root to make";
    }
    const std::string foreign = qvplat::NamedObjectPath('m', "foreign");
    ASSERT_TRUE(memory.Create("foreign", 16));
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    qvplat::SharedMemory refused;
    EXPECT_FALSE(refused.Create("foreign", 16));
    EXPECT_EQ(refused.Error(), EACCES);
}

} // namespace
