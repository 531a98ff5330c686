// Smoke test of the ctlhost program: under a private Xvfb display and a
// private registry, qvregsvr registers the fake control library, ctlhost
// hosts the control by ProgID and runs a script against it, its test driver
// ctlhost_uitest takes a screenshot of the control's property page, and
// qvregsvr unregisters it again. The screenshot is kept under the build
// tree's Testing/ctlhost folder.
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(CtlhostSmoke, HostsTheFakeControlByProgIdUnderXvfb)
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
    }
    qvtest::SettingsEnv settings; // the registry of both programs
    qvtest::XvfbServer xvfb;
    ASSERT_FALSE(xvfb.Display().empty()) << "Xvfb did not start";
    const fs::path runtime = settings.Root() / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const std::vector<std::pair<std::string, std::string>> env = {
        {"DISPLAY", xvfb.Display()},
        {"GDK_BACKEND", "x11"},
        {"NO_AT_BRIDGE", "1"},
        {"XDG_RUNTIME_DIR", runtime.string()},
        {"LSAN_OPTIONS",
         std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
    };
    const auto timeout = std::chrono::seconds(120);
    const std::string work = settings.Root().string();

    auto reg = qvtest::RunProgram(QVREGSVR_BINARY, {QV_FAKECTL_PATH}, env, work, timeout);
    ASSERT_EQ(reg.exitCode, 0) << reg.output;

    const fs::path artifacts = CTLHOST_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const fs::path png = artifacts / "ctlhost-fakectl-pages.png";
    fs::remove(png);
    const fs::path script = settings.Root() / "script.txt";
    std::ofstream(script) << "get Caption\n"
                             "set Count 41\n"
                             "call Add 1 41\n"
                             "call Ping 9\n"
                             "wait-event Pinged 9 60000\n"
                             "pages\n"
                             "quit\n";
    auto host = qvtest::RunProgram(
        CTLHOST_BINARY,
        {"--param", "Caption=From the page", "--script", script.string(), "QVFAKE.FakeCtl.1"}, env,
        work, timeout);
    EXPECT_EQ(host.exitCode, 0) << host.output;
    for (const char* line :
         {"get Caption = From the page\n", "set Count = 41\n", "call Add(1, 41) = 42\n",
          "event Pinged(9)\n", "wait-event Pinged 9: ok\n", "page General\n", "quit\n"}) {
        EXPECT_NE(host.output.find(line), std::string::npos) << line << "\n" << host.output;
    }

    // The screenshot is the test driver's; the shipped program refuses it.
    std::ofstream(script) << "pages\nscreenshot " << png.string() << "\nquit\n";
    const std::vector<std::string> args = {"--script", script.string(), "QVFAKE.FakeCtl.1"};
    auto refused = qvtest::RunProgram(CTLHOST_BINARY, args, env, work, timeout);
    EXPECT_EQ(refused.exitCode, 2) << refused.output;
    EXPECT_NE(refused.output.find("line 2: unknown command \"screenshot\""), std::string::npos)
        << refused.output;
    auto driver = qvtest::RunProgram(CTLHOST_UITEST_BINARY, args, env, work, timeout);
    EXPECT_EQ(driver.exitCode, 0) << driver.output;
    ASSERT_TRUE(fs::exists(png)) << driver.output;
    EXPECT_GT(fs::file_size(png), 2000u);

    // A failing command ends the driver with status 1 at once: also when wx
    // reports the error itself (a file it cannot write) and while the
    // control's modal about box is up.
    const std::string unwritable = (settings.Root() / "missing" / "shot.png").string();
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"screenshot " + unwritable + "\n", "error: line 1: cannot write"},
             {"about\nsleep 300\nget NoSuchProperty\n", "error: line 3: "}}) {
        std::ofstream(script) << text << "sleep 100000\n";
        auto failed = qvtest::RunProgram(CTLHOST_UITEST_BINARY, args, env, work, timeout);
        EXPECT_EQ(failed.exitCode, 1) << text << failed.output;
        EXPECT_NE(failed.output.find(error), std::string::npos) << text << failed.output;
        EXPECT_EQ(failed.output.find("did not close"), std::string::npos) << failed.output;
    }

    // Each program's --help lists its own verbs.
    auto help = qvtest::RunProgram(CTLHOST_BINARY, {"--help"}, env, work, timeout);
    auto driverHelp = qvtest::RunProgram(CTLHOST_UITEST_BINARY, {"--help"}, env, work, timeout);
    EXPECT_EQ(help.exitCode, 0) << help.output;
    EXPECT_EQ(driverHelp.exitCode, 0) << driverHelp.output;
    for (const char* verb : {"\n  set <property> <value> ", "\n  command <id> ", "\n  quit "}) {
        EXPECT_NE(help.output.find(verb), std::string::npos) << verb << help.output;
        EXPECT_NE(driverHelp.output.find(verb), std::string::npos) << verb << driverHelp.output;
    }
    EXPECT_EQ(help.output.find("screenshot"), std::string::npos) << help.output;
    EXPECT_NE(driverHelp.output.find("\n  screenshot <png file> "), std::string::npos)
        << driverHelp.output;

    // An unknown control ends the program with a clear message.
    auto missing = qvtest::RunProgram(CTLHOST_BINARY, {"QVFAKE.Missing.1"}, env, work, timeout);
    EXPECT_EQ(missing.exitCode, 2) << missing.output;
    EXPECT_NE(missing.output.find("error: unknown control \"QVFAKE.Missing.1\""), std::string::npos)
        << missing.output;

    auto unreg = qvtest::RunProgram(QVREGSVR_BINARY, {"/u", QV_FAKECTL_PATH}, env, work, timeout);
    EXPECT_EQ(unreg.exitCode, 0) << unreg.output;
}

} // namespace
