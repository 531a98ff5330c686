// The monitor's decisions without a network: how it runs, what the Setup
// dialog puts back into the settings, and what a program looks like in the
// list and in the output file.
#include "castwatch/model/directoryview.h"
#include "castwatch/model/instance.h"
#include "castwatch/model/launchmode.h"
#include "castwatch/model/setupmodel.h"
#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

using castwatch::LaunchMode;

TEST(LaunchMode, FirstPropertyThatAppliesDecides)
{
    struct Case
    {
        std::vector<const char*> args;
        LaunchMode mode;
    };
    for (const Case& c : std::vector<Case>{
             {{}, LaunchMode::Desktop},
             {{"StartService"}, LaunchMode::Service},
             {{"hide", "startservice"}, LaunchMode::Service},
             {{"HIDE"}, LaunchMode::Tray},
             {{"-kill", "Hide"}, LaunchMode::Tray},
             {{"-KILL"}, LaunchMode::Kill},
             {{"-inst", "auto"}, LaunchMode::StandardArgs},
             {{"-show"}, LaunchMode::StandardArgs},
         }) {
        std::vector<const char*> argv{"castwatch"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const QvPropertyList line =
            castwatch::CommandLineProperties(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(castwatch::ChooseLaunchMode(line), c.mode) << line.GetPropertyString().chars();
    }
    // Only the service and the tray write the file; only windows are single.
    EXPECT_TRUE(castwatch::TraitsOf(LaunchMode::Service).writesFile);
    EXPECT_FALSE(castwatch::TraitsOf(LaunchMode::Service).windows);
    EXPECT_FALSE(castwatch::TraitsOf(LaunchMode::Service).singleInstance);
    EXPECT_TRUE(castwatch::TraitsOf(LaunchMode::Tray).writesFile);
    EXPECT_FALSE(castwatch::TraitsOf(LaunchMode::Desktop).writesFile);
    EXPECT_TRUE(castwatch::TraitsOf(LaunchMode::Desktop).aboutAtStart);
}

TEST(MonitorInstance, SecondMonitorFindsTheFirstAndItsProcess)
{
    qvtest::SettingsEnv env;
    env.Set("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(castwatch::MonitorInstance::RunningPid(), 0);
    {
        castwatch::MonitorInstance first;
        ASSERT_EQ(first.Acquire(), castwatch::MonitorInstance::Result::Acquired);
        castwatch::MonitorInstance second;
        EXPECT_EQ(second.Acquire(), castwatch::MonitorInstance::Result::Running);
        EXPECT_EQ(castwatch::MonitorInstance::RunningPid(), ::getpid());
    }
    EXPECT_EQ(castwatch::MonitorInstance::RunningPid(), 0) << "the lock goes with its holder";
}

QvPropertyList Settings(const std::vector<std::pair<const char*, const char*>>& values)
{
    QvPropertyList list;
    for (const auto& [name, value] : values) {
        list.AddProperty(name, value);
    }
    return list;
}

TEST(SetupModel, PairsRenumberFromZeroAndOtherKeysStay)
{
    QvPropertyList settings = Settings({{"SAPAddress0", "226.0.0.0"},
                                        {"SAPPort0", "6318"},
                                        {"SAPAddress1", "224.2.127.254"},
                                        {"SAPPort1", "9875"},
                                        {"SAPAddress2", "239.9.9.9"},
                                        {"SAPPort2", "1234"},
                                        {"SAPAddress", "226.0.0.0"},
                                        {"SAPPort", "6318"},
                                        {"SAPEntryLifetime", "7"},
                                        {"SAPDbScanPeriod", "250"},
                                        {"SapDbFile", "c:\\player.dat"},
                                        {"Filename", "/tmp/monitor.dat"},
                                        {"ViewOutsideUnicasts", "TRUE"}});
    castwatch::SetupModel setup(settings);
    EXPECT_EQ(setup.FileName(), "/tmp/monitor.dat");
    EXPECT_TRUE(setup.ViewOutsideUnicasts());
    // The list is sorted by its lines.
    const std::vector<castwatch::ListeningPair> opened = {
        {"224.2.127.254", "9875"}, {"226.0.0.0", "6318"}, {"239.9.9.9", "1234"}};
    ASSERT_EQ(setup.Pairs(), opened);

    for (const auto& [address, port] :
         std::vector<std::pair<const char*, const char*>>{{"224.2.2", "9875"},
                                                          {"host", "9875"},
                                                          {"224.2.2.4", "0"},
                                                          {"224.2.2.4", "65536"},
                                                          {"224.2.2.4", "12x"}}) {
        EXPECT_EQ(setup.Add(address, port), -1) << address << " " << port;
    }
    EXPECT_FALSE(castwatch::SetupModel::CanAdd("224.2.2.4", ""));
    EXPECT_EQ(setup.Add("224.2.2.4", "2240"), 1);
    EXPECT_TRUE(setup.Remove(0));
    EXPECT_TRUE(setup.Remove(2));
    EXPECT_FALSE(setup.Remove(2));
    setup.SetViewOutsideUnicasts(false);
    setup.SetFileName("/tmp/other.dat");
    setup.Apply(settings);

    const QvPropertyList expected = Settings({{"SAPEntryLifetime", "7"},
                                              {"SAPDbScanPeriod", "250"},
                                              {"SapDbFile", "c:\\player.dat"},
                                              {"Filename", "/tmp/other.dat"},
                                              {"ViewOutsideUnicasts", "false"},
                                              {"SAPAddress0", "224.2.2.4"},
                                              {"SAPPort0", "2240"},
                                              {"SAPAddress1", "226.0.0.0"},
                                              {"SAPPort1", "6318"}});
    EXPECT_STREQ(settings.GetPropertyString().chars(), expected.GetPropertyString().chars());

    // No pairs at all: nothing numbered is left.
    castwatch::SetupModel none(settings);
    none.Remove(0);
    none.Remove(0);
    none.Apply(settings);
    EXPECT_FALSE(settings.PropertyDefined("SAPPort0"));
    EXPECT_FALSE(settings.PropertyDefined("SAPAddress0"));
    EXPECT_TRUE(settings.PropertyDefined("SAPEntryLifetime"));
}

TEST(DirectoryView, ProgramsAreListedByGroupAndPortAndRebuiltWithoutXAttributes)
{
    const castwatch::Program program = castwatch::DescribeProgram(
        "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=News\r\nc=IN IP4 239.1.1.1/127\r\n"
        "b=AS:1500\r\nt=0 0\r\na=x-packetformat:OPV\r\nm=video 5004 RTP/AVP 32\r\n"
        "a=x-mux:1\r\n");
    EXPECT_EQ(program.line, "239.1.1.1/5004");
    EXPECT_NE(program.rebuilt.find("\ns=News\n"), std::string::npos) << program.rebuilt;
    EXPECT_NE(program.rebuilt.find("\nb=AS:1500\n"), std::string::npos) << program.rebuilt;
    EXPECT_EQ(program.rebuilt.find("a=x-"), std::string::npos) << program.rebuilt;
    EXPECT_EQ(program.rebuilt.find('\r'), std::string::npos) << program.rebuilt;
    EXPECT_EQ(program.rebuilt.back(), '\n');
}

} // namespace
