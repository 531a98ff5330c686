// The service stand-in: unit files (checked by systemd-analyze where it is
// installed), the manager command through the fake manager, the dispatcher
// with a real stop signal, status notifications and the event log.
#include "platform/service/servicecontrol.h"
#include "platform/service/serviceunit.h"
#include "platform/service/tests/notify_socket.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& file)
{
    const qvtest::Bytes bytes = qvtest::ReadAll(file.string());
    return std::string(bytes.begin(), bytes.end());
}

// A private unit directory, registry and event log, and the fake manager.
class ServiceEnv : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_units = m_env.Root() / "units";
        m_env.Set("QV_SERVICE_UNIT_DIR", m_units);
        m_env.Set("QV_SERVICE_MANAGER", fs::path(FAKE_SERVICE_MANAGER));
        m_env.Set("QV_SERVICE_EVENT_LOG", m_env.Root() / "events.jsonl");
        m_env.Set("NOTIFY_SOCKET", std::nullopt);
    }
    std::string Commands() const { return ReadText(m_units / ".fake-manager" / "commands"); }

    qvtest::SettingsEnv m_env;
    fs::path m_units;
};

TEST_F(ServiceEnv, UnitFileKeepsEveryWordLiteral)
{
    struct Case
    {
        std::string program;
        std::string argument;
        bool autoStart;
        std::string execStart; // empty: refused
    };
    const std::vector<Case> cases = {
        {"/opt/cast net/castwatch", "StartService", false,
         R"(ExecStart="/opt/cast net/castwatch" "StartService")"},
        {"/x/100%/$HOME", R"(a "b" \$c%)", true, R"(ExecStart="/x/100%%/$HOME" "a \"b\" \\$$c%%")"},
        {R"(/x/a"b)", "", false, ""},
        {R"(/x/a\b)", "", false, ""},
        {"/x/line\nbreak", "", false, ""},
        {"/x/ok", "tab\t", false, ""},
    };
    for (const Case& c : cases) {
        const std::string text =
            qvplat::ServiceUnitText({"Vigilo", c.program, {c.argument}, c.autoStart});
        if (c.execStart.empty()) {
            EXPECT_EQ(text, "") << c.program;
            continue;
        }
        EXPECT_NE(text.find("\nType=notify\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\n" + c.execStart + "\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("[Install]") != std::string::npos, c.autoStart) << text;
    }
}

TEST_F(ServiceEnv, SystemdAcceptsTheUnit)
{
    const std::string analyze = qvtest::FindExecutable("systemd-analyze");
    if (analyze.empty()) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    // A program whose path has a blank, a percent sign and a dollar.
    const fs::path program = m_env.Root() / "cast net" / "watch 100% $x";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    fs::permissions(program, fs::perms::owner_all);
    ASSERT_EQ(qvplat::InstallServiceUnit({"Vigilo", program.string(), {"StartService"}, true}), 0);
    const qvtest::CommandResult verify =
        qvtest::RunCommand({analyze, "verify", (m_units / "Vigilo.service").string()});
    EXPECT_TRUE(verify.Succeeded()) << verify.output;
}

TEST_F(ServiceEnv, InstallEnableAndRemoveGoThroughTheManager)
{
    EXPECT_FALSE(qvplat::ServiceUnitInstalled("Vigilo"));
    EXPECT_EQ(qvplat::InstallServiceUnit({"Vigilo", "/bin/true", {"StartService"}, false}), 0);
    EXPECT_TRUE(qvplat::ServiceUnitInstalled("Vigilo"));
    EXPECT_EQ(Commands(), "daemon-reload\n");

    EXPECT_EQ(qvplat::InstallServiceUnit({"Vigilo", "/bin/true", {}, true}), 0);
    EXPECT_TRUE(fs::exists(m_units / ".fake-manager" / "Vigilo.service.enabled"));
    EXPECT_EQ(qvplat::RemoveServiceUnit("Vigilo"), 0);
    EXPECT_FALSE(qvplat::ServiceUnitInstalled("Vigilo"));
    EXPECT_FALSE(fs::exists(m_units / ".fake-manager" / "Vigilo.service.enabled"));
    EXPECT_EQ(Commands(), "daemon-reload\ndaemon-reload\nenable Vigilo.service\n"
                          "disable Vigilo.service\ndaemon-reload\n");

    // Failures carry the manager's exit status or the errno.
    EXPECT_EQ(qvplat::RemoveServiceUnit("Vigilo"), ENOENT);
    EXPECT_EQ(qvplat::StartServiceUnit("Vigilo"), 5); // the fake's "not found"
    EXPECT_EQ(qvplat::InstallServiceUnit({"../Vigilo", "/bin/true", {}, false}), EINVAL);
    m_env.Set("QV_SERVICE_MANAGER", m_env.Root() / "no-such-manager");
    EXPECT_EQ(qvplat::StopServiceUnit("Vigilo"), ENOENT);
}

TEST_F(ServiceEnv, StopSignalBecomesTheStopControlOnTheDispatcherThread)
{
    qvtest::NotifySocket manager((m_env.Root() / "notify").string());
    m_env.Set("NOTIFY_SOCKET", m_env.Root() / "notify");

    const std::thread::id dispatcherThread = std::this_thread::get_id();
    std::vector<std::uint32_t> controls;
    std::thread::id handlerThread;
    bool second = true;
    std::uint32_t handle = 0;
    const bool ran = qvplat::RunServiceDispatcher("Vigilo", [&] {
        EXPECT_EQ(qvplat::RegisterServiceControlHandler("Other", [](std::uint32_t) {}), 0u);
        std::mutex lock;
        std::condition_variable stopped;
        handle = qvplat::RegisterServiceControlHandler("Vigilo", [&](std::uint32_t control) {
            const std::lock_guard guard(lock);
            controls.push_back(control);
            handlerThread = std::this_thread::get_id();
            stopped.notify_all();
        });
        qvplat::ServiceStatusRecord status;
        status.currentState = qvplat::ServiceState::Running;
        EXPECT_TRUE(qvplat::ReportServiceStatus(handle, status));
        EXPECT_FALSE(qvplat::ReportServiceStatus(handle + 1, status));
        second = qvplat::RunServiceDispatcher("Vigilo", [] {});
        // The manager's stop, sent to the whole process.
        ::kill(::getpid(), SIGTERM);
        std::unique_lock guard(lock);
        stopped.wait(guard, [&] { return !controls.empty(); });
    });
    ASSERT_TRUE(ran);
    EXPECT_FALSE(second) << "one dispatcher at a time";
    EXPECT_EQ(controls, std::vector<std::uint32_t>{qvplat::ServiceControl::Stop});
    EXPECT_EQ(handlerThread, dispatcherThread);
    EXPECT_EQ(manager.Drain(), std::vector<std::string>{"READY=1\nSTATUS=Running\n"});
    // The handle ends with the dispatcher.
    EXPECT_FALSE(qvplat::ReportServiceStatus(handle, {}));
}

TEST_F(ServiceEnv, StatusMessagesAndEvents)
{
    struct Case
    {
        std::uint32_t state;
        std::uint32_t exitCode;
        const char* message;
    };
    for (const Case& c : std::vector<Case>{
             {qvplat::ServiceState::StartPending, 0, "STATUS=Start pending\n"},
             {qvplat::ServiceState::StopPending, 0, "STOPPING=1\nSTATUS=Stop pending\n"},
             {qvplat::ServiceState::Stopped, 0, "STATUS=Stopped\n"},
             {qvplat::ServiceState::Stopped, 1, "STATUS=Stopped (exit code 1)\n"},
         }) {
        qvplat::ServiceStatusRecord status;
        status.currentState = c.state;
        status.exitCode = c.exitCode;
        EXPECT_EQ(qvplat::ServiceStatusMessage(status), c.message);
    }
    // Without a manager nothing is sent; an abstract socket name works.
    EXPECT_FALSE(qvplat::NotifyServiceManager("READY=1\n"));
    const std::string abstract = "@qvtest-notify-" + std::to_string(::getpid());
    qvtest::NotifySocket manager(abstract);
    m_env.Set("NOTIFY_SOCKET", fs::path(abstract));
    EXPECT_TRUE(qvplat::NotifyServiceManager("READY=1\n"));
    EXPECT_EQ(manager.Drain(), std::vector<std::string>{"READY=1\n"});

    EXPECT_TRUE(qvplat::ReportServiceEvent("Vigilo", qvplat::ServiceEventType::Information, 109,
                                           {"SAP Database \"service\" started.\n"}));
    EXPECT_TRUE(qvplat::ReportServiceEvent("Vigilo", qvplat::ServiceEventType::Error, 104, {}));
    EXPECT_EQ(ReadText(m_env.Root() / "events.jsonl"),
              "{\"source\":\"Vigilo\",\"type\":\"information\",\"id\":109,\"category\":0,"
              "\"strings\":[\"SAP Database \\\"service\\\" started.\\u000a\"]}\n"
              "{\"source\":\"Vigilo\",\"type\":\"error\",\"id\":104,\"category\":0,"
              "\"strings\":[]}\n");
}

} // namespace
