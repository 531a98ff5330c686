// The plug-in in its test host nphost under a private Xvfb display, with a
// fake player registered under the player's class id in a private registry.
// The fake player prints each Profile it is given and the section the file
// holds then; nphost prints what every plug-in call returns. Last, the real
// player in the plug-in, playing a sample file; its screenshot is kept under
// the build tree's Testing/webplug folder.
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class NphostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qvtest::XvfbServer::IsInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
        }
        ASSERT_FALSE(m_xvfb.Display().empty()) << "Xvfb did not start";
        const fs::path runtime = m_settings.Root() / "runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        m_env = {
            {"DISPLAY", m_xvfb.Display()},
            {"GDK_BACKEND", "x11"},
            {"NO_AT_BRIDGE", "1"},
            {"XDG_RUNTIME_DIR", runtime.string()},
            {"LSAN_OPTIONS",
             std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
        };
        ASSERT_EQ(Run(QVREGSVR_BINARY, {QV_FAKEPLAYER_PATH}).exitCode, 0);
    }

    qvtest::ProgramResult Run(const std::string& program, const std::vector<std::string>& args)
    {
        return qvtest::RunProgram(program, args, m_env, m_settings.Root().string(),
                                  std::chrono::seconds(120));
    }

    qvtest::ProgramResult RunScript(const std::string& script)
    {
        const fs::path file = m_settings.Root() / "script.txt";
        std::ofstream(file) << script;
        return Run(NPHOST_BINARY, {WEBPLUG_PATH, file.string()});
    }

    fs::path WindowsDir() const { return m_settings.Root() / "windows"; }

    std::string LogText() const
    {
        std::ifstream in(WindowsDir() / "webplug.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    qvtest::SettingsEnv m_settings;
    qvtest::XvfbServer m_xvfb;
    std::vector<std::pair<std::string, std::string>> m_env;
};

std::size_t CountOf(const std::string& text, const std::string& line)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(NphostTest, InstancesGiveTheirPlayersTheirOwnAttributes)
{
    const std::string big(5000, 'x');
    const auto host = RunScript("entry-points null\n"
                                "entry-points 44\n" // a table of 32-bit pointers
                                "initialize null\n"
                                "initialize 4096 0x100\n"
                                "initialize 52 6\n"
                                "entry-points\n"
                                "initialize\n"
                                "new empty\n"
                                "new merged Src=one.opv Width=320 SRC=two.opv\n"
                                "new other SRC=three.opv\n"
                                "new crlf Note=a\\r\\nDEBUG=1\n"
                                "new big Filler=" +
                                big +
                                "\n"
                                "window empty 0 0 200 150\n"
                                "window merged 210 0 200 150\n"
                                "window merged 210 0 200 150\n"
                                "window other 420 0 200 150\n"
                                "window crlf 0 160 200 150\n"
                                "window big 210 160 200 150\n"
                                "stream merged\n"
                                "print merged\n"
                                "print-full merged\n"
                                "destroy empty\n"
                                "destroy merged\n"
                                "destroy other\n"
                                "destroy crlf\n"
                                "destroy big\n"
                                "shutdown\n");
    const std::string& out = host.output;
    EXPECT_EQ(host.exitCode, 0) << out;
    EXPECT_EQ(out.find("assert"), std::string::npos) << out; // wx's, on misused windows

    for (const char* line :
         {"entry-points null = 3\n", "entry-points 44 = 3\n", "initialize null = 3\n",
          "initialize 4096 0x100 = 8\n", "initialize 52 6 = 3\n", "entry-points = 0 version 6\n",
          "initialize = 0\n", "window merged 210 0 200 150 = 0\n",
          "stream merged = new 0, type 3, instance's data, write-ready 268435455, write 5, "
          "destroy 0\n",
          "print merged = grey on the frame 696 of 696, elsewhere 0\n",
          "print-full merged = printed 0\n", "shutdown = 0\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    // One player per instance, however often the window is given; each gone
    // with its instance.
    EXPECT_EQ(CountOf(out, "player created\n"), 5u) << out;
    EXPECT_EQ(CountOf(out, "player destroyed\n"), 5u) << out;
    // Every new, window and destroy, initialize and shutdown.
    EXPECT_EQ(CountOf(out, " = 0\n"), 18u) << out;

    // What each player found in its own profile file when it was given it.
    const std::regex profile("player Profile=(.*/qv1nrb-[0-9]+-([0-9]+)\\.dat) QV:(.*)\n");
    std::map<std::string, std::string> sections; // by instance number
    std::set<std::string> paths;
    for (std::sregex_iterator it(out.begin(), out.end(), profile), end; it != end; ++it) {
        EXPECT_EQ(fs::path((*it)[1].str()).parent_path(), WindowsDir());
        paths.insert((*it)[1]);
        sections[(*it)[2]] = (*it)[3];
    }
    EXPECT_EQ(paths.size(), 5u) << out;
    EXPECT_EQ(sections["1"], " (empty)");
    EXPECT_EQ(sections["2"], " [SRC=two.opv] [WIDTH=320]");
    EXPECT_EQ(sections["3"], " [SRC=three.opv]");
    EXPECT_EQ(sections["4"], " [NOTE=a  DEBUG=1]");
    EXPECT_EQ(sections["5"], " (empty)");
    EXPECT_NE(LogText().find("attributes do not make a settings section"), std::string::npos)
        << LogText();

    // Every profile file (and its lock file) went with its instance.
    for (const auto& entry : fs::directory_iterator(WindowsDir())) {
        EXPECT_EQ(entry.path().filename().string().find("qv1nrb"), std::string::npos)
            << entry.path();
    }
}

TEST_F(NphostTest, APlayerThatCannotBeCreatedLeavesTheWindowEmpty)
{
    ASSERT_EQ(Run(QVREGSVR_BINARY, {"/u", QV_FAKEPLAYER_PATH}).exitCode, 0);
    const auto host = RunScript("entry-points\ninitialize\nnew a SRC=x.opv\n"
                                "window a 0 0 100 100\ndestroy a\n");
    EXPECT_EQ(host.exitCode, 0) << host.output;
    EXPECT_NE(host.output.find("window a 0 0 100 100 = 0\n"), std::string::npos) << host.output;
    EXPECT_EQ(host.output.find("player"), std::string::npos) << host.output;
    EXPECT_NE(LogText().find("cannot be created"), std::string::npos) << LogText();
}

TEST_F(NphostTest, TheRealPlayerPlaysTheFileItsAttributesName)
{
    ASSERT_EQ(Run(QVREGSVR_BINARY, {"/u", QV_FAKEPLAYER_PATH}).exitCode, 0);
    for (const char* server : {PLAYERCTL_LIBRARY, CASTSOURCE_LIBRARY}) {
        const auto reg = Run(QVREGSVR_BINARY, {server});
        ASSERT_EQ(reg.exitCode, 0) << reg.output;
    }
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    ASSERT_TRUE(fs::exists(sample)) << sample;
    const fs::path artifacts = WEBPLUG_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const fs::path shot = artifacts / "webplug-player.png";
    fs::remove(shot);

    // The page's attributes start the file at once. The page also names an
    // audio sink that would write a file, which the player must not take:
    // the user's settings give a sink that drops the audio (the host has no
    // sound). The whole test picture shows some 9000 colours (its colour
    // band); the player's background, logo and toolbar a few hundred at most.
    fs::create_directories(WindowsDir());
    std::ofstream(WindowsDir() / "QvCtl.ini") << "[QV]\nAudioSink=fakeaudiosink\n";
    const fs::path written = m_settings.Root() / "page.wav";
    const std::string pageSink = "wavenc\\n!\\nfilesink\\nlocation=" + written.string();
    const auto started = std::chrono::steady_clock::now();
    const auto host = RunScript("entry-points\n"
                                "initialize\n"
                                "new player Filename=" +
                                sample + " AutoStart=1 AudioSink=" + pageSink +
                                "\n"
                                "window player 0 0 480 360\n"
                                "wait-colours player 5000 60000\n"
                                "screenshot player " +
                                shot.string() +
                                "\n"
                                "destroy player\n"
                                "shutdown\n");
    const auto took = std::chrono::steady_clock::now() - started;
    const std::string& out = host.output;
    EXPECT_EQ(host.exitCode, 0) << out;
    for (const std::string& line :
         {std::string("initialize = 0\n"), " AudioSink=" + pageSink + " = 0\n",
          std::string("window player 0 0 480 360 = 0\n"), std::string("destroy player = 0\n"),
          std::string("shutdown = 0\n")}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    std::smatch waited;
    std::smatch shown;
    ASSERT_TRUE(std::regex_search(out, waited, std::regex("wait-colours .* = colours ([0-9]+)\n")))
        << out;
    ASSERT_TRUE(std::regex_search(out, shown, std::regex("screenshot .* = colours ([0-9]+)\n")))
        << out;
    EXPECT_GE(std::stoul(waited[1]), 5000u) << out << LogText();
    EXPECT_GE(std::stoul(shown[1]), 5000u) << out << LogText();
    EXPECT_TRUE(fs::exists(shot));
    EXPECT_FALSE(fs::exists(written)) << "the page's sink was made";
    EXPECT_EQ(LogText().find("cannot"), std::string::npos) << LogText();
    std::printf("player in nphost: %s colours, %.1f s; screenshot %s\n", shown[1].str().c_str(),
                std::chrono::duration<double>(took).count(), shot.c_str());
}

} // namespace
