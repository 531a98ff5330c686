// Smoke test of castdeck under a private Xvfb display: the UI test program
// castdeck_uitest starts castdeck's application with a sample file and walks
// through its windows (analyse, start, stop, a refused second instance, a
// dropped file, exit while transmitting); the screenshots it takes are kept
// under the build tree's Testing/castdeck folder. The program itself is run
// too, to see that it starts and knows no options but the file.
//
// Everything sent goes to 127.0.0.1; when network namespaces are available
// the whole run also happens inside a private one.
#include "platform/registry.h"
#include "platform/testsupport/netns.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class CastdeckSmoke : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
        for (const char* sub : {"work", "runtime", "config", "registry", "home"}) {
            fs::create_directories(m_dir / sub);
        }
        fs::permissions(m_dir / "runtime", fs::perms::owner_all);

        if (!qvtest::XvfbServer::IsInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb, or run "
                            "scripts/setup.sh); the castdeck smoke test needs it";
        }
        // A private network namespace where available; the program sends to
        // loopback only in any case.
        m_netns = std::make_unique<qvtest::ScopedNetNamespace>();
        std::printf("castdeck smoke: %s\n",
                    m_netns->IsReady() ? "running in a private network namespace"
                                       : "no network namespace here; loopback targets only");
        m_server = std::make_unique<qvtest::XvfbServer>();
        ASSERT_FALSE(m_server->Display().empty()) << "Xvfb did not start";

        const char* root = std::getenv("QV_TEST_SOURCE_DIR");
        ASSERT_NE(root, nullptr);
        m_sample = std::string(root) + "/samples/m1s_testsrc.mpg";
    }
    void TearDown() override
    {
        m_server.reset();
        m_netns.reset();
    }

    // Runs a program on the private display with a private session (runtime,
    // configuration and registry directories) and returns its exit status
    // (-1 when it had to be killed) and its output.
    int Run(const char* binary, const std::vector<std::string>& args, std::string& log)
    {
        const fs::path output = m_dir / "output.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir((m_dir / "work").c_str()) != 0) {
                _exit(126);
            }
            setenv("DISPLAY", m_server->Display().c_str(), 1);
            setenv("GDK_BACKEND", "x11", 1);
            setenv("NO_AT_BRIDGE", "1", 1);
            setenv("XDG_RUNTIME_DIR", (m_dir / "runtime").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
            setenv("HOME", (m_dir / "home").c_str(), 1);
            setenv("QV_REGISTRY_DIR", (m_dir / "registry").c_str(), 1);
            // Under the sanitizers: leaks inside the GUI libraries are theirs.
            const std::string lsan =
                std::string("suppressions=") + CASTDECK_LSAN_SUPPRESSIONS + ":print_suppressions=0";
            setenv("LSAN_OPTIONS", lsan.c_str(), 1);
            const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(binary)};
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(binary, argv.data());
            _exit(127);
        }
        if (pid < 0) {
            return -1;
        }
        const int status = qvtest::WaitForExit(pid, std::chrono::seconds(240));
        log = ReadFile(output);
        return status;
    }

    qvtest::TempDir m_temp{"castdeck_smoke"};
    fs::path m_dir;
    std::string m_sample;
    std::unique_ptr<qvtest::ScopedNetNamespace> m_netns;
    std::unique_ptr<qvtest::XvfbServer> m_server;
};

TEST_F(CastdeckSmoke, RunsUnderXvfb)
{
    const fs::path artifacts = CASTDECK_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    for (const char* name : {"castdeck-open.png", "castdeck-transmitting.png"}) {
        fs::remove(artifacts / name);
    }
    std::string log;
    const int status = Run(CASTDECK_UITEST_BINARY, {"walk", artifacts.string(), m_sample}, log);

    EXPECT_EQ(status, 0) << log;
    EXPECT_NE(log.find("uitest: PASS"), std::string::npos) << log;
    EXPECT_EQ(log.find("uitest: FAIL"), std::string::npos) << log;
    // The scripted questions were asked: closing the transmitting window
    // asks twice (its frame, then Stream > Close), exiting once.
    const std::string terminate =
        "Notice: Transmitting stream.  Are you sure you want to terminate?";
    const std::size_t firstAsk = log.find(terminate);
    ASSERT_NE(firstAsk, std::string::npos) << log;
    EXPECT_NE(log.find(terminate, firstAsk + 1), std::string::npos) << log;
    EXPECT_NE(log.find("Notice: Transmitting stream(s).  Are you sure you want to exit?"),
              std::string::npos)
        << log;

    for (const char* name : {"castdeck-open.png", "castdeck-transmitting.png"}) {
        const fs::path png = artifacts / name;
        ASSERT_TRUE(fs::exists(png)) << png;
        EXPECT_GT(fs::file_size(png), 2000u) << png;
        std::printf("castdeck smoke: screenshot %s\n", png.c_str());
    }

    // The logs went to the working directory.
    EXPECT_TRUE(fs::exists(m_dir / "work" / "QvDebugFlowmill.log"));
    EXPECT_TRUE(fs::exists(m_dir / "work" / "castdeck.log"));

    // The opened file heads the recent-file list in the registry store.
    setenv("QV_REGISTRY_DIR", (m_dir / "registry").c_str(), 1);
    qvplat::RegKey key;
    ASSERT_EQ(
        key.Open(qvplat::RegRoot::CurrentUser, "Software\\Talvex\\castdeck\\Recent File List"),
        qvplat::RegResult::Success);
    qvplat::RegValue first;
    ASSERT_EQ(key.QueryValue("File1", first), qvplat::RegResult::Success);
    EXPECT_EQ(first, qvplat::MakeStringValue("File1", fs::canonical(m_sample).string()));
    unsetenv("QV_REGISTRY_DIR");
}

TEST_F(CastdeckSmoke, FileThatCannotBeOpenedEndsTheProgram)
{
    std::string log;
    const int status =
        Run(CASTDECK_UITEST_BINARY, {"start", (m_dir / "missing.mpg").string()}, log);
    EXPECT_NE(status, 0) << log;
    EXPECT_NE(log.find("castdeck: Cannot open " + (m_dir / "missing.mpg").string() + "."),
              std::string::npos)
        << log;
}

TEST_F(CastdeckSmoke, ProgramKnowsNoTestOptions)
{
    // The options of the program's old built-in check are gone.
    for (const std::string option : {"selftest", "no-dialogs"}) {
        std::string log;
        EXPECT_NE(Run(CASTDECK_BINARY, {"--" + option}, log), 0) << log;
        EXPECT_NE(log.find("Unknown long option '" + option + "'"), std::string::npos) << log;
    }
}

} // namespace
