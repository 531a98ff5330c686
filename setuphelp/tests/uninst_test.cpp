// UninstInitialize: the command file found through the registry and run line
// by line; the boxes are answered and the pauses recorded here, the commands
// run fake programs.
#include "fake_programs.h"

#include "platform/msgbox.h"
#include "platform/registry.h"
#include "setuphelp/setuphelp.h"
#include "setuphelp/uninst.h"

#include <cstdint>
#include <set>

namespace {

using qvtest::Lines;
constexpr const char* kKey = "SOFTWARE\\Corvel\\Pictavo\\Client";

class UninstTest : public ::testing::Test
{
protected:
    UninstTest()
    {
        // A box is recorded as "? text" (OK and Cancel) or "! text" (OK).
        m_previousBox = qvplat::SetMessageBoxHandler(
            [this](const char* text, const char* caption, unsigned flags) {
                const bool question = (flags & qvplat::MB_TYPEMASK) == qvplat::MB_OKCANCEL;
                m_boxes.push_back((question ? "? " : "! ") + std::string(text));
                EXPECT_STREQ(caption, "");
                return question && m_cancel.count(text) != 0 ? qvplat::IDCANCEL : qvplat::IDOK;
            });
        m_previousSleep =
            qvsetup::SetUninstSleep([this](std::uint32_t ms) { m_pauses.push_back(ms); });
    }
    ~UninstTest() override
    {
        qvplat::SetMessageBoxHandler(m_previousBox);
        qvsetup::SetUninstSleep(m_previousSleep);
    }

    static void WriteCommands(const std::filesystem::path& root, const std::string& commands)
    {
        std::filesystem::create_directories(root / "Bin");
        std::ofstream(root / "Bin" / "uninst.lau", std::ios::binary) << commands;
    }
    static void SetInstallRoot(const std::string& root)
    {
        qvplat::RegKey key;
        key.Create(qvplat::RegRoot::LocalMachine, kKey);
        key.SetValue(qvplat::MakeStringValue("InstallRoot", root));
    }
    // Runs the uninstallation and checks its result, boxes and programs.
    void Check(int result, const Lines& boxes, const Lines& runs)
    {
        EXPECT_EQ(UninstInitialize(1, 2, 3), result);
        EXPECT_EQ(m_boxes, boxes);
        EXPECT_EQ(m_fakes.Collect(), qvtest::Sorted(runs));
        m_boxes.clear();
    }

    qvtest::SettingsEnv m_env;
    qvtest::FakePrograms m_fakes{m_env};
    Lines m_boxes;
    std::vector<std::uint32_t> m_pauses;
    std::set<std::string> m_cancel;
    qvplat::MessageBoxFn m_previousBox;
    qvsetup::SleepFn m_previousSleep;
};

TEST_F(UninstTest, RunsTheLinesOfTheCommandFile)
{
    const std::string root = (m_env.Root() / "install").string();
    std::filesystem::create_directories(root);
    std::ofstream(root + "/readme.txt") << "read me\n";
    const std::string tooLong = "fakeprog," + std::string(1014, 'y'); // 1023 characters
    const std::string longest = "fakeprog," + std::string(1013, 'z'); // 1022 characters
    struct Case
    {
        std::string commands;
        std::set<std::string> cancel;
        Lines boxes;
        Lines runs;
        std::vector<std::uint32_t> pauses = {3000};
    };
    const Case cases[] = {
        {"fakeprog,a,b c#Remove?\n", {}, {"? Remove?"}, {"fakeprog[a,b][c]"}},
        {"fakeprog#Remove?,a,b c\n", {}, {"? Remove?"}, {"fakeprog[a,b][c]"}},
        {"#Ready?\nfakeprog,next\n", {}, {"? Ready?"}, {"fakeprog[next]"}},
        {"#Stop?\nfakeprog,next\n", {"Stop?"}, {"? Stop?"}, {}},
        {" fakeprog ,one#Skip?\nfakeprog,two\n", {"Skip?"}, {"? Skip?"}, {"fakeprog[two]"}},
        {"2000$\n  -5$\n$150\n99999999999$\nfakeprog,x$\n",
         {},
         {},
         {},
         {2000, 0, 150, 0x7FFFFFFF, 0, 3000}},
        {"\n\r\n  \nfakeprog,x\r\n", {}, {}, {"fakeprog[x]"}},
        {"fakeprog,first\nfakeprog,last", {}, {}, {"fakeprog[first]", "fakeprog[last]"}},
        {root + "/readme.txt,ignored\n", {}, {}, {"xdg-open[" + root + "/readme.txt]"}},
        {"missing-prog,a b\nfakeprog,after\n",
         {},
         {"! ShellExecute failed to execute: missing-prog a b"},
         {"fakeprog[after]"}},
        {tooLong + "\n" + longest + "\n",
         {},
         {"! setuphelp.dll skipped line 1 of the command file: it is longer than 1022 "
          "characters."},
         {"fakeprog[" + longest.substr(9) + "]"}},
    };
    SetInstallRoot(root + "/");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands.substr(0, 40));
        m_cancel = c.cancel;
        m_pauses.clear();
        WriteCommands(root, c.commands);
        Check(0, c.boxes, c.runs);
        EXPECT_EQ(m_pauses, c.pauses);
    }
}

TEST_F(UninstTest, FindsTheCommandFileThroughTheRegistry)
{
    const std::filesystem::path root = m_env.Root() / "install";
    Check(-1, {"! Corvel key not found in registry."}, {});

    qvplat::RegKey key;
    key.Create(qvplat::RegRoot::LocalMachine, kKey);
    Check(-1, {"! InstallRoot not found."}, {});

    SetInstallRoot(root.string() + "/");
    Check(-11, {"! setuphelp.dll failed to open '" + (root / "Bin/uninst.lau").string() + "'."},
          {});

    // Stored without its NUL and without the separator at the end.
    WriteCommands(root, "fakeprog,ran\n");
    const std::string bare = root.string();
    key.SetValue("InstallRoot", qvplat::REG_SZ, bare.data(),
                 static_cast<std::uint32_t>(bare.size()));
    Check(0, {}, {"fakeprog[ran]"});

    WriteCommands(m_env.Root() / "drive_c" / "Program Files" / "Castnet", "fakeprog,mapped\n");
    SetInstallRoot("C:\\Program Files\\Castnet\\");
    Check(0, {}, {"fakeprog[mapped]"});
    EXPECT_EQ(UninstUnInitialize(1, 2, 3), 0);
}

} // namespace
