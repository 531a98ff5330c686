// castwatch as a service, run as its users run it: the standard arguments
// against the fake service manager, and the service "Vigilo" that the
// manager starts, hearing announcements in the test's network namespace and
// writing the output file until the manager stops it.
#include "castwatch_env.h"

#include "core/sap/qvsapdb.h"
#include "platform/registry.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;
using castwatchtest::ReadText;

class CastwatchService : public qvtest::NetnsTest
{
protected:
    std::string Run(const std::vector<std::string>& args,
                    const std::string& program = CASTWATCH_BINARY)
    {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        const qvtest::CommandResult result = qvtest::RunCommand(argv);
        EXPECT_TRUE(result.Succeeded()) << qvtest::DescribeCommand(argv) << "\n" << result.output;
        return result.output;
    }
    fs::path UnitFile() const { return m_world.Units() / "Vigilo.service"; }

    castwatchtest::ServiceWorld m_world;
};

// Waits for a file that is replaced through a rename to hold `wanted`
// (inotify sees each replacement); `retry` runs whenever a second passes
// without one. False when the time runs out.
bool WaitForContents(const fs::path& file, const std::function<bool(const std::string&)>& wanted,
                     const std::function<void()>& retry, std::chrono::seconds limit = 30s)
{
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(watch, file.parent_path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    const auto end = std::chrono::steady_clock::now() + limit;
    bool found = wanted(ReadText(file));
    while (!found && std::chrono::steady_clock::now() < end) {
        pollfd wait{watch, POLLIN, 0};
        if (::poll(&wait, 1, 1000) == 0) {
            retry();
        }
        char events[4096];
        while (::read(watch, events, sizeof events) > 0) {
        }
        found = wanted(ReadText(file));
    }
    ::close(watch);
    return found;
}

TEST_F(CastwatchService, StandardArgumentsInstallStartStopAndRemove)
{
    EXPECT_EQ(Run({"-ver"}), "Vigilo Version 1.0\nThe service is not installed\n");
    EXPECT_FALSE(fs::exists(m_world.Units())) << "-ver changes nothing";
    EXPECT_FALSE(fs::exists(m_world.Root() / "registry" / "HKEY_LOCAL_MACHINE.reg"));
    EXPECT_EQ(Run({"-start"}), "Vigilo is not installed\n");

    // Installed from a directory whose name has a blank, and started.
    const fs::path program = m_world.Root() / "cast watch" / "castwatch";
    fs::create_directories(program.parent_path());
    fs::copy_file(CASTWATCH_BINARY, program);
    EXPECT_EQ(Run({"-inst", "-start"}, program), "Vigilo installed\nVigilo started.\n");
    EXPECT_NE(
        ReadText(UnitFile()).find("\nExecStart=\"" + program.string() + "\" \"StartService\"\n"),
        std::string::npos)
        << ReadText(UnitFile());
    EXPECT_EQ(Run({"-inst"}), "Vigilo is already installed\n");
    qvplat::RegKey eventSource;
    EXPECT_EQ(
        eventSource.Open(qvplat::RegRoot::LocalMachine,
                         "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vigilo"),
        qvplat::RegResult::Success);

    // The manager's SIGTERM: stop pending, stopped, and the process ends.
    EXPECT_EQ(Run({"-stop"}), "Vigilo stopped.\n");
    const std::string notifications = ReadText(m_world.ManagerFile("Vigilo.service.notify"));
    EXPECT_EQ(notifications, "STATUS=Start pending\n--\nREADY=1\nSTATUS=Running\n--\n"
                             "STOPPING=1\nSTATUS=Stop pending\n--\n"
                             "STOPPING=1\nSTATUS=Stop pending\n--\nSTATUS=Stopped\n--\n");
    const std::string exit = ReadText(m_world.ManagerFile("Vigilo.service.exit"));
    EXPECT_EQ(exit.rfind("exit 0\nstopped after ", 0), 0U) << exit;
    std::printf("castwatch service: %s", exit.c_str());

    EXPECT_EQ(Run({"-uninst"}), "Vigilo removed.\n");
    EXPECT_FALSE(fs::exists(UnitFile()));
    EXPECT_EQ(Run({"-stop", "-uninst"}), "Vigilo is not installed\nVigilo is not installed\n");
    const std::string events = m_world.Events();
    const std::vector<std::string> expected = {
        R"("information","id":109,"category":0,"strings":["SAP Database service started."]})",
        R"("information","id":105,)", R"("information","id":108,)",
        R"("information","id":101,"category":0,"strings":["Vigilo"]})"};
    std::size_t at = 0;
    for (const std::string& event : expected) {
        at = events.find(event, at);
        ASSERT_NE(at, std::string::npos) << event << " in\n" << events;
    }
}

TEST_F(CastwatchService, ServiceWritesTheOutputFileUntilItIsStopped)
{
    const fs::path output = m_world.Root() / "programs.dat";
    ASSERT_EQ(qvplat::ReplaceRegKeyValues(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey,
                                          {qvplat::MakeStringValue("SAPAddress0", "224.2.127.254"),
                                           qvplat::MakeStringValue("SAPPort0", "9875"),
                                           qvplat::MakeStringValue("SAPDbScanPeriod", "100"),
                                           qvplat::MakeStringValue("Filename", output.string())}),
              qvplat::RegResult::Success);
    EXPECT_EQ(Run({"-inst", "-start"}), "Vigilo installed\nVigilo started.\n");

    qvtest::UdpSocket sender;
    const auto announce = [&sender] {
        const char header[8] = {0x20, 0, 0x34, 0x12, 127, 0, 0, 1};
        sender.SendTo("224.2.127.254", 9875,
                      std::string(header, sizeof header) +
                          "v=0\no=- 42 1 IN IP4 127.0.0.1\ns=Service test\n"
                          "c=IN IP4 239.4.4.4/127\nt=0 0\nm=video 5004 RTP/AVP 32\n");
    };
    announce();
    EXPECT_TRUE(WaitForContents(
        output,
        [](const std::string& text) { return text.find("s=Service test\n") != std::string::npos; },
        announce))
        << ReadText(m_world.ManagerFile("Vigilo.service.out"));

    EXPECT_EQ(Run({"-stop", "-uninst"}), "Vigilo stopped.\nVigilo removed.\n");
    EXPECT_EQ(ReadText(output), "") << "emptied when the service ends";
}

} // namespace
