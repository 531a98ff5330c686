// Smoke test of castwatch's desktop monitor under a private Xvfb display,
// inside a private network namespace: castwatch_uitest starts the
// monitor's application and walks through its windows (see uidriver.h);
// its screenshots are kept under the build tree's Testing/castwatch folder.
#include "castwatch_env.h"

#include "core/sap/qvsapdb.h"
#include "platform/registry.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/netns_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

class CastwatchSmoke : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (!qvtest::XvfbServer::IsInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs it)";
        }
        m_server = std::make_unique<qvtest::XvfbServer>();
        ASSERT_FALSE(m_server->Display().empty()) << "Xvfb did not start";
    }

    castwatchtest::ServiceWorld m_world;
    std::unique_ptr<qvtest::XvfbServer> m_server;
};

TEST_F(CastwatchSmoke, DesktopMonitorListsShowsSdpOpensSetupAndEndsOnKill)
{
    const fs::path artifacts = CASTWATCH_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    for (const char* name : {"castwatch-desktop.png", "castwatch-setup.png"}) {
        fs::remove(artifacts / name);
    }
    const fs::path output = m_world.Root() / "desktop.dat";
    ASSERT_EQ(qvplat::ReplaceRegKeyValues(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey,
                                          {qvplat::MakeStringValue("SAPAddress0", "224.2.127.254"),
                                           qvplat::MakeStringValue("SAPPort0", "9875"),
                                           qvplat::MakeStringValue("SAPAddress1", "226.0.0.0"),
                                           qvplat::MakeStringValue("SAPPort1", "6318"),
                                           qvplat::MakeStringValue("SAPDbScanPeriod", "100"),
                                           qvplat::MakeStringValue("SapDbFile", "c:\\player.dat"),
                                           qvplat::MakeStringValue("Filename", output.string())}),
              qvplat::RegResult::Success);
    fs::create_directories(m_world.Root() / "runtime");
    fs::permissions(m_world.Root() / "runtime", fs::perms::owner_all);

    const qvtest::ProgramResult uitest = qvtest::RunProgram(
        CASTWATCH_UITEST_BINARY, {artifacts.string(), CASTWATCH_BINARY},
        {{"DISPLAY", m_server->Display()},
         {"GDK_BACKEND", "x11"},
         {"NO_AT_BRIDGE", "1"},
         {"XDG_RUNTIME_DIR", (m_world.Root() / "runtime").string()},
         {"LSAN_OPTIONS",
          std::string("suppressions=") + CASTWATCH_LSAN_SUPPRESSIONS + ":print_suppressions=0"}},
        m_world.Root().string(), std::chrono::minutes(4));
    EXPECT_EQ(uitest.exitCode, 0) << uitest.output;
    EXPECT_NE(uitest.output.find("uitest: PASS"), std::string::npos) << uitest.output;

    for (const char* name : {"castwatch-desktop.png", "castwatch-setup.png"}) {
        const fs::path png = artifacts / name;
        ASSERT_TRUE(fs::exists(png)) << png;
        EXPECT_GT(fs::file_size(png), 2000u) << png;
        std::printf("castwatch smoke: screenshot %s\n", png.c_str());
    }
}

} // namespace
