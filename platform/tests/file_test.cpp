// Lock files between processes: the other process is a child made by fork,
// which opens the file on its own (a descriptor inherited from the parent
// would share the parent's lock).
#include "platform/file.h"

#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
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

unsigned ModeOf(const std::string& path)
{
    struct stat info
    {
    };
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777u : ~0u;
}

// What stands at the path lends the replacement at most its own permission
// bits, and only when it is a regular file.
TEST(ReplaceFileContents, TakesOnlyPermissionsTheUmaskAllowsFromARegularFile)
{
    enum class Before { Nothing, File, Link };
    struct Case
    {
        Before before;
        unsigned mode; // of the file, or of the link's target
        unsigned expected;
    };
    const Case cases[] = {
        {Before::Nothing, 0, 0644},  {Before::File, 0600, 0600},  {Before::File, 0750, 0750},
        {Before::File, 06777, 0755}, {Before::Link, 04777, 0644},
    };
    const mode_t mask = ::umask(022);
    for (const Case& c : cases) {
        qvtest::TempDir dir;
        const std::string path = dir.File("settings.ini");
        const std::string target = dir.File("target");
        if (c.before == Before::File) {
            dir.Write("settings.ini", {'o', 'l', 'd'});
            ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        } else if (c.before == Before::Link) {
            dir.Write("target", {'t'});
            ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
            ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
        }
        ASSERT_TRUE(qvplat::ReplaceFileContents(path, "new"));
        EXPECT_EQ(ModeOf(path), c.expected) << std::oct << c.mode;
        EXPECT_EQ(qvtest::ReadAll(path), (qvtest::Bytes{'n', 'e', 'w'}));
        if (c.before == Before::Link) {
            EXPECT_EQ(ModeOf(target), c.mode);
            EXPECT_EQ(qvtest::ReadAll(target), qvtest::Bytes{'t'});
        }
    }
    ::umask(mask);
}

TEST(LockForUpdate, LockFileIsWritableByNoOneElse)
{
    const mode_t mask = ::umask(0);
    qvtest::TempDir dir;
    File lock;
    EXPECT_TRUE(qvplat::LockForUpdate(lock, dir.File("settings.ini")));
    EXPECT_EQ(ModeOf(dir.File("settings.ini.lock")), 0664u);
    ::umask(mask);
}

} // namespace
