// The file list control in ctlhost under a private Xvfb display: by ProgID,
// on the bundled samples, in both list dialogs. Screenshots are kept under
// the build tree's Testing/cliplist folder.
#include "lists/common/tests/ctlhost_runner.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

TEST(CliplistSmoke, ListsTheSamplesAndReportsTheDoubleClickedFile)
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
    }
    qvtest::SettingsEnv settings;
    qvtest::XvfbServer xvfb;
    ASSERT_FALSE(xvfb.Display().empty()) << "Xvfb did not start";
    liststest::CtlhostRunner host(settings, xvfb);
    ASSERT_TRUE(host.Register(CLIPLIST_LIBRARY));

    // The samples folder, named by the file list's own settings file.
    const fs::path samples =
        fs::absolute(fs::path(qvtest::SamplePath("m1s_testsrc.mpg")).parent_path());
    fs::create_directories(settings.Root() / "windows");
    std::ofstream(settings.Root() / "windows" / "QvFileList.ini")
        << "[QV]\nPath=" << samples.string() << "\n";
    const fs::path artifacts = CLIPLIST_ARTIFACT_DIR;
    fs::create_directories(artifacts);

    for (const bool bigFont : {false, true}) {
        SCOPED_TRACE(bigFont ? "dialog 203" : "dialog 201");
        const fs::path png = artifacts / (bigFont ? "cliplist-203.png" : "cliplist-201.png");
        fs::remove(png);
        const auto run = host.Run("CLIPLIST.ClipListCtrl.1",
                                  "call NumItems\n"
                                  "call SetProp Filter *_testsrc*\n"
                                  "call Start\n"
                                  "wait-event OnDbChange \"\" 60000\n"
                                  "call NumItems\n"
                                  "call GetItemValue 0 Name\n"
                                  "double-click-row 1\n"
                                  "wait-event OnItemSelected 1 10000\n"
                                  "screenshot " +
                                      png.string() +
                                      "\n"
                                      "call Stop\n"
                                      "get BigFont\n"
                                      "quit\n",
                                  {"--size", bigFont ? "800x200" : "480x160", "--param",
                                   std::string("BigFont=") + (bigFont ? "1" : "0")});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        liststest::ExpectLines(run.output, {"call NumItems() = 0\n", "call Start() = 0\n",
                                            "event OnDbChange()\n", "call NumItems() = 3\n",
                                            "event OnItemSelected(1, " +
                                                (samples / "m2p_testsrc.mpg").string() + ")\n",
                                            std::string("get BigFont = ") + (bigFont ? "1" : "0")});
        EXPECT_TRUE(fs::exists(png)) << run.output;
    }
    EXPECT_TRUE(host.Register(CLIPLIST_LIBRARY, true));
}

} // namespace
