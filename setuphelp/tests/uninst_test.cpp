// UninstInitialize: the command file found through the registry and run
// line by line, with the message boxes answered and the pauses recorded here
// and the commands run by fake programs.
#include "fake_programs.h"

#include "platform/msgbox.h"
#include "platform/registry.h"
#include "setuphelp/setuphelp.h"
#include "setuphelp/uninst.h"

#include <cstdint>
#include <set>

namespace {

using Lines = std::vector<std::string>;
constexpr const char* kKey = "SOFTWARE\\Corvel\\Pictavo\\Client";

class UninstTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previousBox = qvplat::SetMessageBoxHandler(
            [this](const char* text, const char* caption, unsigned flags) {
                // "? text" for a question, "! text" for a report.
                const bool question = (flags & qvplat::MB_TYPEMASK) == qvplat::MB_OKCANCEL;
                m_boxes.push_back((question ? "? " : "! ") + std::string(text));
                EXPECT_STREQ(caption, "");
                return question && m_cancel.count(text) != 0 ? qvplat::IDCANCEL : qvplat::IDOK;
            });
        m_previousSleep =
            qvsetup::SetUninstSleep([this](std::uint32_t ms) { m_pauses.push_back(ms); });
    }
    void TearDown() override
    {
        qvplat::SetMessageBoxHandler(m_previousBox);
        qvsetup::SetUninstSleep(m_previousSleep);
    }

    // Writes <root>/Bin/uninst.lau (and a document beside it).
    static void WriteCommands(const std::filesystem::path& root, const std::string& commands)
    {
        std::filesystem::create_directories(root / "Bin");
        std::ofstream(root / "Bin" / "uninst.lau", std::ios::binary) << commands;
        std::ofstream(root / "readme.txt") << "read me\n";
    }
    static void SetInstallRoot(const std::string& root)
    {
        qvplat::RegKey key;
        ASSERT_EQ(key.Create(qvplat::RegRoot::LocalMachine, kKey), qvplat::RegResult::Success);
        ASSERT_EQ(key.SetValue(qvplat::MakeStringValue("InstallRoot", root)),
                  qvplat::RegResult::Success);
    }
    void Reset()
    {
        m_boxes.clear();
        m_pauses.clear();
        m_cancel.clear();
    }

    qvtest::SettingsEnv m_env;
    qvtest::FakePrograms m_fakes{m_env};
    Lines m_boxes;
    std::vector<std::uint32_t> m_pauses;
    std::set<std::string> m_cancel;
    qvplat::MessageBoxFn m_previousBox;
    qvsetup::SleepFn m_previousSleep;
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

TEST_F(UninstTest, RunsTheLinesOfTheCommandFile)
{
    struct Case
    {
        const char* name;
        std::string commands; // %R stands for the install root
        std::set<std::string> cancel;
        Lines boxes;
        Lines runs;
        std::vector<std::uint32_t> pauses;
    };
    const std::string tooLong = "fakeprog," + std::string(1014, 'y');   // 1023 characters
    const std::string longest = "fakeprog," + std::string(1013, 'z');   // 1022 characters
    const Case cases[] = {
        {"comma then hash", "fakeprog,a,b c#Remove the player?\n", {}, {"? Remove the player?"},
         {"fakeprog[a,b][c]"}, {3000}},
        {"hash then comma", "fakeprog#Remove the player?,a,b c\n", {}, {"? Remove the player?"},
         {"fakeprog[a,b][c]"}, {3000}},
        {"hash first, OK goes on", "#Ready?\nfakeprog,next\n", {}, {"? Ready?"},
         {"fakeprog[next]"}, {3000}},
        {"hash first, Cancel ends the run", "#Stop?\nfakeprog,next\n", {"Stop?"}, {"? Stop?"},
         {}, {3000}},
        {"Cancel on a prompt skips its line", " fakeprog ,one#Skip?\nfakeprog,two\n", {"Skip?"},
         {"? Skip?"}, {"fakeprog[two]"}, {3000}},
        {"pauses", "2000$\n  -5$\n$150\n99999999999$\nfakeprog,x$\n", {}, {}, {},
         {2000, 0, 150, 0x7FFFFFFF, 0, 3000}},
        {"empty lines and CR LF", "\n\r\n  \nfakeprog,x\r\n", {}, {}, {"fakeprog[x]"}, {3000}},
        {"last line without line end", "fakeprog,first\nfakeprog,last", {}, {},
         {"fakeprog[first]", "fakeprog[last]"}, {3000}},
        {"document to the opener", "%R/readme.txt,ignored\n", {}, {},
         {"xdg-open[%R/readme.txt]"}, {3000}},
        {"failure shown, run goes on", "missing-prog,a b\nfakeprog,after\n", {},
         {"! ShellExecute failed to execute: missing-prog a b"}, {"fakeprog[after]"}, {3000}},
        {"overlong line skipped whole", tooLong + "\n" + longest + "\n", {},
         {"! setuphelp.dll skipped line 1 of the command file: it is longer than 1022 "
          "characters."},
         {"fakeprog[" + longest.substr(9) + "]"}, {3000}},
    };
    const std::string root = (m_env.Root() / "install").string();
    SetInstallRoot(root + "/");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        m_cancel = c.cancel;
        WriteCommands(root, Replace(c.commands, "%R", root));
        EXPECT_EQ(UninstInitialize(0, 0, 0), 0);
        EXPECT_EQ(m_boxes, c.boxes);
        EXPECT_EQ(m_pauses, c.pauses);
        Lines runs;
        for (const std::string& run : c.runs) {
            runs.push_back(Replace(run, "%R", root));
        }
        EXPECT_EQ(m_fakes.Collect(), qvtest::FakePrograms::Sorted(runs));
    }
}

TEST_F(UninstTest, FindsTheCommandFileThroughTheRegistry)
{
    const std::filesystem::path root = m_env.Root() / "install";
    const std::string file = (root / "Bin" / "uninst.lau").string();
    struct Case
    {
        const char* name;
        std::function<void()> prepare;
        int result;
        Lines boxes;
        Lines runs;
    };
    const Case cases[] = {
        {"no key", [] {}, -1, {"! Corvel key not found in registry."}, {}},
        {"no value",
         [] {
             qvplat::RegKey key;
             key.Create(qvplat::RegRoot::LocalMachine, kKey);
         },
         -1, {"! InstallRoot not found."}, {}},
        {"no file", [&] { SetInstallRoot(root.string() + "/"); }, -11,
         {"! setuphelp.dll failed to open '" + file + "'."}, {}},
        {"value without NUL or separator",
         [&] {
             WriteCommands(root, "fakeprog,ran\n");
             const std::string text = root.string();
             qvplat::RegKey key;
             key.Create(qvplat::RegRoot::LocalMachine, kKey);
             key.SetValue("InstallRoot", qvplat::REG_SZ, text.data(),
                          static_cast<std::uint32_t>(text.size()));
         },
         0, {}, {"fakeprog[ran]"}},
        {"Windows path",
         [&] {
             WriteCommands(m_env.Root() / "drive_c" / "Program Files" / "Castnet",
                           "fakeprog,mapped\n");
             SetInstallRoot("C:\\Program Files\\Castnet\\");
         },
         0, {}, {"fakeprog[mapped]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        qvplat::DeleteRegKey(qvplat::RegRoot::LocalMachine, kKey);
        c.prepare();
        EXPECT_EQ(UninstInitialize(1, 2, 3), c.result);
        EXPECT_EQ(m_boxes, c.boxes);
        EXPECT_EQ(m_fakes.Collect(), c.runs);
    }
    EXPECT_EQ(UninstUnInitialize(1, 2, 3), 0);
}

} // namespace
