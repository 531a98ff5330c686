#include "ctlhost/ctlsession.h"
#include "ctlhost/tests/uitest/driververbs.h"
#include "platform/com/tests/com_testing.h"

#include <gtest/gtest.h>

namespace {

using namespace ctlhost;

TEST(CtlScriptTest, ParsesCommandsAndNamesTheFaultyLine)
{
    std::vector<ScriptCommand> commands;
    std::string error;
    ASSERT_TRUE(ParseScript("# comment\n\nset Caption \"two words \\\"quoted\\\"\\n\"\r\n"
                            "call Add 1 2\nwait-event Pinged \"\" 500\nquit",
                            commands, error))
        << error;
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0].line, 3);
    EXPECT_EQ(commands[0].args, (std::vector<std::string>{"Caption", "two words \"quoted\"\n"}));
    EXPECT_EQ(commands[2].args, (std::vector<std::string>{"Pinged", "", "500"}));

    const std::pair<const char*, const char*> bad[] = {
        {"get A\nfly away", "line 2: unknown command \"fly\""},
        {"set Caption", "line 1: set: wrong number of arguments"},
        {"quit now", "line 1: quit: wrong number of arguments"},
        {"sleep soon", "line 1: sleep: \"soon\" is not a time in ms"},
        {"wait-event A 1 -5", "line 1: wait-event: \"-5\" is not a time in ms"},
        {"double-click-row first", "line 1: double-click-row: \"first\" is not a row"},
        {"select-row -1", "line 1: select-row: \"-1\" is not a row"},
        {"command play", "line 1: command: \"play\" is not an id"},
        {"double-click 1", "line 1: double-click: wrong number of arguments"},
        {"wait-row m1s soon", "line 1: wait-row: \"soon\" is not a time in ms"},
        {"wait-colours many 10", "line 1: wait-colours: \"many\" is not a count"},
        {"\n\nset A \"open", "line 3: unterminated quote"},
    };
    for (const auto& [script, message] : bad) {
        commands.clear();
        EXPECT_FALSE(ParseScript(script, DriverVerbSpecs(), commands, error)) << script;
        EXPECT_EQ(error, message);
    }
    // The shipped program knows none of the test driver's verbs.
    for (const char* verb : {"screenshot a.png", "wait-row a 1", "double-click", "select-row 0",
                             "double-click-row 0", "wait-colours 1 1", "wait-moving 1 1"}) {
        EXPECT_FALSE(ParseScript(verb, commands, error)) << verb;
        EXPECT_TRUE(ParseScript(verb, DriverVerbSpecs(), commands, error)) << error;
    }
}

TEST(CtlScriptTest, HelpListsEveryVerbWithItsDescription)
{
    for (const std::span<const VerbSpec> verbs : {UserVerbs(), DriverVerbSpecs()}) {
        Options options;
        std::string help;
        EXPECT_FALSE(ParseCommandLine({"--help"}, options, help, Usage("prog", verbs)));
        EXPECT_TRUE(help.starts_with("usage: prog ")) << help;
        help += "\n";
        for (const VerbSpec& verb : verbs) {
            EXPECT_NE(help.find(std::string("\n  ") + verb.synopsis), std::string::npos) << help;
            EXPECT_NE(help.find(std::string(verb.description) + "\n"), std::string::npos) << help;
        }
    }
}

TEST(CtlScriptTest, CommandLine)
{
    Options options;
    std::string message;
    ASSERT_TRUE(ParseCommandLine({"--param", "Caption=a=b", "--param=Count=3", "--size", "640x200",
                                  "--script=run.txt", "QVFAKE.FakeCtl.1"},
                                 options, message))
        << message;
    EXPECT_EQ(options.control, "QVFAKE.FakeCtl.1");
    EXPECT_EQ(options.params.Read("caption"), "a=b");
    EXPECT_EQ(options.params.Read("Count"), "3");
    EXPECT_EQ(options.width, 640);
    EXPECT_EQ(options.script, "run.txt");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"--param", "novalue", "X"},
                                                {"--size", "0x5", "X"},
                                                {"--frobnicate", "X"},
                                                {"X", "Y"},
                                                {"--script"}}) {
        Options ignored;
        EXPECT_FALSE(ParseCommandLine(bad, ignored, message));
    }
}

class FakeHost final : public ScriptHost
{
public:
    bool ShowPages(std::vector<std::string>&, std::string& error) override
    {
        error = "no display";
        return false;
    }
    bool Command(int, std::string& error) override { return ShowPages(m_titles, error); }
    void Quit(int status) override { quitStatus = status; }

    int quitStatus = -1;

private:
    std::vector<std::string> m_titles;
};

class FakeWindows final : public DriverWindows
{
public:
    bool Screenshot(const std::string&, std::size_t&, std::string& error) override
    {
        error = "no display";
        return false;
    }
    bool LookAtControl(std::size_t& count, std::uint64_t& digest, std::string&) override
    {
        count = colours;
        digest = picture;
        return true;
    }
    bool ListRows(std::vector<std::string>& list, std::string&) override
    {
        list = rows;
        return true;
    }
    bool DoubleClickRow(long, std::string& error) override
    {
        return Screenshot("", colours, error);
    }
    bool SelectRow(long, std::string& error) override { return Screenshot("", colours, error); }
    bool DoubleClick(std::string& error) override { return Screenshot("", colours, error); }

    std::vector<std::string> rows;
    std::size_t colours = 0;
    std::uint64_t picture = 0;
};

class CtlSessionTest : public comtest::RegisteredFake
{
};

TEST_F(CtlSessionTest, ScriptDrivesTheControlAndStopsAtAMissedEvent)
{
    auto ui = std::make_shared<qvplat::PumpedUiDispatcher>();
    std::vector<std::string> output;
    const auto print = [&](const std::string& line) { output.push_back(line); };
    bool eventArrived = false;
    CtlSession session(ui, print, [&] { eventArrived = true; });
    qvplat::PropertyBag params;
    params.Write("Count", "5");
    std::string error;
    ASSERT_TRUE(session.Open(fakectl::kProgId, params, error)) << error;

    std::vector<ScriptCommand> commands;
    ASSERT_TRUE(ParseScript("get Count\ncall Ping 3\nwait-event pinged 3 30000\n"
                            "call Add 1 x\nquit",
                            commands, error));
    FakeHost host;
    ScriptRunner runner(session, host, print, commands);
    while (const auto wait = runner.Step()) {
        eventArrived = false;
        ui->PumpUntil([&] { return eventArrived; }, static_cast<std::uint32_t>(wait->count()));
    }
    EXPECT_EQ(host.quitStatus, 1);
    EXPECT_EQ(output,
              (std::vector<std::string>{
                  "get Count = 5", "call Ping(3)", "event Pinged(3)", "wait-event pinged 3: ok",
                  "error: line 4: Add: argument 2: 0x80020005 DISP_E_TYPEMISMATCH"}));

    CtlSession missing(ui, print);
    EXPECT_FALSE(missing.Open("QVFAKE.Missing.1", params, error));
    EXPECT_EQ(error, "unknown control \"QVFAKE.Missing.1\": 0x800401F3 CO_E_CLASSSTRING");
}

TEST(CtlScriptTest, DriverVerbsPollUntilTheWindowsShowIt)
{
    using namespace std::chrono_literals;
    FakeWindows windows;
    DriverVerbs verbs(windows);
    std::vector<ScriptCommand> commands;
    std::string error;
    ASSERT_TRUE(ParseScript("wait-row m1s 60000\nwait-colours 1000 60000\nwait-row absent 0\n"
                            "wait-moving 1000 5000\nwait-moving 1000 3000\n",
                            DriverVerbSpecs(), commands, error));
    std::string line;
    const auto run = [&](std::size_t command, std::chrono::milliseconds at, int round = 1) {
        line.clear();
        error.clear();
        return verbs.Run(commands[command], at, round, line, error);
    };
    using Result = ExtraVerbs::Result;
    EXPECT_EQ(run(0, 0ms, 0), Result::Again);
    windows.rows = {"239.1.1.1-2010  other", "239.1.1.2-2010  m1s_testsrc"};
    EXPECT_EQ(run(0, 100ms), Result::Done);
    EXPECT_EQ(line, "wait-row m1s: row 1 \"239.1.1.2-2010  m1s_testsrc\"");
    windows.colours = 999;
    EXPECT_EQ(run(1, 0ms, 0), Result::Again);
    windows.colours = 1500;
    EXPECT_EQ(run(1, 100ms), Result::Done);
    EXPECT_EQ(line, "wait-colours 1000: 1500");
    EXPECT_EQ(run(2, 0ms, 0), Result::Failed);
    EXPECT_EQ(error, "wait-row absent: none within 0 ms");

    // A picture that shows at 200 ms and is seen changed a second later; a
    // still picture, or a change from the plain background, is not moving.
    windows.colours = 10;
    windows.picture = 1;
    EXPECT_EQ(run(3, 0ms, 0), Result::Again);
    windows.colours = 1500;
    windows.picture = 2;
    EXPECT_EQ(run(3, 200ms), Result::Again);
    EXPECT_EQ(run(3, 1100ms), Result::Again); // the look at 0 ms was no picture
    windows.picture = 3;
    EXPECT_EQ(run(3, 1300ms), Result::Done);
    EXPECT_EQ(line, "wait-moving 1000: picture after 200 ms, moving after 1300 ms");
    EXPECT_EQ(run(4, 0ms, 0), Result::Again);
    EXPECT_EQ(run(4, 1500ms), Result::Again);
    EXPECT_EQ(run(4, 3000ms), Result::Failed);
    EXPECT_EQ(error, "wait-moving 1000: the picture did not move within 3000 ms");
}

} // namespace
