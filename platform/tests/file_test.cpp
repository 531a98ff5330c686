// Lock files between processes: the other process is a child made by fork,
// which opens the file on its own (a descriptor inherited from the parent
// would share the parent's lock).
#include "platform/file.h"

#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using qvplat::File;
using qvplat::LockMode;
using qvplat::LockResult;

// Runs `body` in a child process and returns its exit code (-1 when it did
// not exit normally).
int InChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a child gets when it tries the lock once.
LockResult TryInChild(const std::string& path, LockMode mode)
{
    return static_cast<LockResult>(InChild([&] {
        File file;
        if (!file.OpenReadWrite(path, true)) {
            return 100;
        }
        return static_cast<int>(file.Lock(mode, 0));
    }));
}

TEST(FileLock, ModesAgainstAHolderInAnotherProcess)
{
    qvtest::TempDir dir;
    const std::string path = dir.File("object.lock");
    const struct
    {
        LockMode held;
        LockMode asked;
        LockResult expected;
    } cases[] = {
        {LockMode::Exclusive, LockMode::Exclusive, LockResult::Busy},
        {LockMode::Exclusive, LockMode::Shared, LockResult::Busy},
        {LockMode::Shared, LockMode::Shared, LockResult::Acquired},
        {LockMode::Shared, LockMode::Exclusive, LockResult::Busy},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "held " << static_cast<int>(c.held) << ", asked "
                                        << static_cast<int>(c.asked));
        File holder;
        ASSERT_TRUE(holder.OpenReadWrite(path, true));
        ASSERT_EQ(holder.Lock(c.held), LockResult::Acquired);
        EXPECT_EQ(TryInChild(path, c.asked), c.expected);

        // Let go by Unlock, and by Close.
        holder.Unlock();
        EXPECT_EQ(TryInChild(path, LockMode::Exclusive), LockResult::Acquired);
        ASSERT_EQ(holder.Lock(c.held, 0), LockResult::Acquired);
        holder.Close();
        EXPECT_EQ(TryInChild(path, LockMode::Exclusive), LockResult::Acquired);
    }
}

TEST(FileLock, HolderIsNamedWhileItHoldsAndReleasedWhenItEnds)
{
    qvtest::TempDir dir;
    const std::string path = dir.File("instance.lock");
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        File lock;
        const bool held = lock.OpenReadWrite(path, true) &&
                          lock.Lock(LockMode::Exclusive, 0) == LockResult::Acquired &&
                          lock.WritePid();
        const char answer = held ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        char ignored;
        (void)!::read(release[0], &ignored, 1); // until the parent closes its end
        ::_exit(0);                             // without unlocking or closing
    }
    ::close(ready[1]);
    ::close(release[0]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    File lock;
    ASSERT_TRUE(lock.OpenReadWrite(path, true));
    EXPECT_EQ(lock.Lock(LockMode::Exclusive, 0), LockResult::Busy);
    EXPECT_EQ(lock.Lock(LockMode::Shared, 20), LockResult::Busy);
    EXPECT_EQ(lock.ReadPid(), child);

    // The wait without a limit ends when the holder's process does.
    ::close(release[1]);
    EXPECT_EQ(lock.Lock(LockMode::Exclusive), LockResult::Acquired);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);

    ASSERT_TRUE(lock.WritePid());
    EXPECT_EQ(lock.ReadPid(), ::getpid());
}

} // namespace
