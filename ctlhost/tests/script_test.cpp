#include "ctlhost/ctlsession.h"
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
        EXPECT_FALSE(ParseScript(script, commands, error)) << script;
        EXPECT_EQ(error, message);
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
    bool Screenshot(const std::string&, std::size_t&, std::string& error) override
    {
        error = "no display";
        return false;
    }
    bool CountColours(std::size_t& count, std::string&) override
    {
        count = colours;
        return true;
    }
    bool ListRows(std::vector<std::string>& list, std::string&) override
    {
        list = rows;
        return true;
    }
    bool DoubleClickRow(long, std::string& error) override
    {
        error = "no display";
        return false;
    }
    bool SelectRow(long, std::string& error) override { return DoubleClickRow(0, error); }
    bool Command(int, std::string& error) override { return DoubleClickRow(0, error); }
    bool DoubleClick(std::string& error) override { return DoubleClickRow(0, error); }
    void Quit(int status) override { quitStatus = status; }

    std::vector<std::string> rows;
    std::size_t colours = 0;
    int quitStatus = -1;
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

TEST(CtlScriptTest, WaitRowAndWaitColoursPollUntilTheWindowsShowIt)
{
    auto ui = std::make_shared<qvplat::PumpedUiDispatcher>();
    std::vector<std::string> output;
    const auto print = [&](const std::string& line) { output.push_back(line); };
    CtlSession session(ui, print);
    std::vector<ScriptCommand> commands;
    std::string error;
    ASSERT_TRUE(ParseScript("wait-row m1s 60000\nwait-colours 1000 60000\nwait-row absent 0\nquit",
                            commands, error));
    FakeHost host;
    ScriptRunner runner(session, host, print, commands);
    const auto polls = [&] {
        const auto wait = runner.Step();
        return wait.has_value() && wait->count() > 0 && wait->count() < 60000;
    };
    EXPECT_TRUE(polls());
    host.rows = {"239.1.1.1-2010  other", "239.1.1.2-2010  m1s_testsrc"};
    host.colours = 999;
    EXPECT_TRUE(polls());
    host.colours = 1500;
    EXPECT_FALSE(runner.Step().has_value());
    EXPECT_EQ(output,
              (std::vector<std::string>{"wait-row m1s: row 1 \"239.1.1.2-2010  m1s_testsrc\"",
                                        "wait-colours 1000: 1500",
                                        "error: line 3: wait-row absent: none within 0 ms"}));
    EXPECT_EQ(host.quitStatus, 1);
}

} // namespace
