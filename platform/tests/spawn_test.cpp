// Starting programs and waiting for their end or only for the exec.
#include "platform/spawn.h"

#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

using qvplat::SpawnStage;

TEST(SpawnTest, SpawnAndWaitGivesTheExitCodeOrTheError)
{
    struct Case
    {
        std::vector<std::string> argv;
        int error;
        int exitCode;
    };
    const Case cases[] = {
        {{"sh", "-c", "exit 0"}, 0, 0},
        {{"sh", "-c", "exit 7"}, 0, 7},
        {{"sh", "-c", "kill -9 $$"}, 0, 128 + SIGKILL},
        {{"qvplat-no-such-program"}, ENOENT, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        int exitCode = -1;
        EXPECT_EQ(qvplat::SpawnAndWait(c.argv[0], c.argv, &exitCode), c.error);
        EXPECT_EQ(exitCode, c.exitCode);
    }
}

TEST(SpawnTest, SpawnAndConfirmExecNamesTheFailingStepAndLeavesNoChild)
{
    qvtest::TempDir dir("qvspawn");
    ASSERT_TRUE(dir.Valid());
    struct Case
    {
        std::string path;
        std::string directory;
        int error;
        SpawnStage stage;
    };
    const Case cases[] = {
        {"/bin/sh", dir.Path().string(), 0, SpawnStage::Exec},
        {"/bin/sh", dir.File("missing"), ENOENT, SpawnStage::Directory},
        {dir.File("missing"), "", ENOENT, SpawnStage::Exec},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " in " + c.directory);
        SpawnStage stage = SpawnStage::Fork;
        const int error =
            qvplat::SpawnAndConfirmExec(c.path, {"sh", "-c", "true"}, c.directory, &stage);
        EXPECT_EQ(error, c.error);
        if (error != 0) {
            EXPECT_EQ(stage, c.stage);
        }
    }
    // The program ran as a grandchild: no child is left to reap here.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
