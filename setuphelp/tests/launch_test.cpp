// DoShellExecute, DoSpawnWait and DoSpawnNoWait with fake programs on PATH,
// and the exports of the shared library.
#include "fake_programs.h"

#include "setuphelp/setuphelp.h"

#include <cerrno>
#include <csignal>

#include <dlfcn.h>
#include <sys/wait.h>

namespace {

using qvtest::Lines;

class LaunchTest : public ::testing::Test
{
protected:
    qvtest::SettingsEnv m_env;
    qvtest::FakePrograms m_fakes{m_env};
};

TEST_F(LaunchTest, ShellExecuteStartsProgramsAndOpensEverythingElse)
{
    const std::string dir = std::filesystem::canonical(m_env.Root()).string();
    const std::string here = std::filesystem::current_path().string();
    std::ofstream(dir + "/readme.txt") << "read me\n";
    struct Case
    {
        std::string file;
        const char* params;
        std::string directory;
        int result; // 33 for any result above 32
        std::string launched;
    };
    const Case cases[] = {
        {"fakeprog", R"(one "two three" 'four $HOME' five\ six "a\"b\\c\d")", dir, 33,
         R"(fakeprog[one][two three][four $HOME][five six][a"b\c\d]|)" + dir},
        {"fakeprog", "", "", 33, "fakeprog|" + here},
        {dir + "/readme.txt", "ignored", dir, 33, "xdg-open[" + dir + "/readme.txt]|" + dir},
        {"readme.txt", "", dir, 33, "xdg-open[readme.txt]|" + dir},
        {"https://example.invalid/x", "", dir, 33, "xdg-open[https://example.invalid/x]|" + dir},
        {"missing.txt", "", dir, 2, ""},
        {"fakeprog", "", dir + "/missing", 3, ""},
    };
    Lines expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " in " + c.directory);
        const int result = DoShellExecute(c.file.c_str(), c.params, c.directory.c_str(), 1);
        EXPECT_EQ(result > 32 ? 33 : result, c.result);
        if (!c.launched.empty()) {
            expected.push_back(c.launched);
        }
    }
    // The programs were started as grandchildren: no child is left to reap.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(m_fakes.Collect(true), qvtest::Sorted(expected));
}

TEST_F(LaunchTest, SpawnWaitReturnsTheExitCodeOrMinusOne)
{
    // The argument string reaches the program whole, as one argument.
    EXPECT_EQ(DoSpawnWait("fakeprog", "exit 0"), 0);
    EXPECT_EQ(DoSpawnWait("fakeprog", "exit 3"), 3);
    EXPECT_EQ(DoSpawnWait("fakeprog", "kill"), 128 + SIGKILL);
    EXPECT_EQ(DoSpawnWait("fakeprog", nullptr), 0);
    EXPECT_EQ(DoSpawnWait("setuphelp-no-such-program", "x"), -1);
    EXPECT_EQ(m_fakes.Collect(),
              (Lines{"fakeprog", "fakeprog[exit 0]", "fakeprog[exit 3]", "fakeprog[kill]"}));
}

TEST_F(LaunchTest, SpawnNoWaitEndsTheCallerOnceTheProgramRuns)
{
    EXPECT_EQ(DoSpawnNoWait("setuphelp-no-such-program", "x"), -1);
    const pid_t caller = ::fork();
    if (caller == 0) {
        DoSpawnNoWait("fakeprog", "x y");
        ::_exit(99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(caller, &status, 0), caller);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(m_fakes.Collect(), Lines{"fakeprog[x y]"});
}

TEST_F(LaunchTest, TheSharedLibraryExportsTheSixEntryPointsByName)
{
    void* library = ::dlopen(QV_SETUPHELP_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    for (const char* name : {"CreateShortcut", "DoShellExecute", "DoSpawnWait", "DoSpawnNoWait",
                             "UninstInitialize", "UninstUnInitialize"}) {
        EXPECT_NE(::dlsym(library, name), nullptr) << name;
    }
    auto spawnWait =
        reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(library, "DoSpawnWait"));
    EXPECT_EQ(spawnWait != nullptr ? spawnWait("fakeprog", "exit 7") : -2, 7);
    ::dlclose(library);
}

} // namespace
