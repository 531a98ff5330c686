// The service frame's life in this process: what the manager is told and
// what goes to the event log when the service cannot start, and when it gets
// a control it does not know.
#include "castwatch/ntservice.h"

#include "castwatch_env.h"
#include "platform/service/tests/notify_socket.h"

#include <gtest/gtest.h>

namespace {

class ScriptedService : public CNTService
{
public:
    explicit ScriptedService(bool initOk) : CNTService("Vigilo"), m_initOk(initOk) {}
    bool OnInit() override { return m_initOk; }
    // A control code nobody handles, then the end.
    void Run() override { Handler(200); }

private:
    bool m_initOk;
};

TEST(NtService, StatusAndEventsOfAFailedStartAndOfAnUnknownControl)
{
    struct Case
    {
        bool initOk;
        std::uint32_t exitCode;
        const char* events;
        std::vector<std::string> notifications;
    };
    const std::string event = "{\"source\":\"Vigilo\",\"type\":";
    for (const Case& c : std::vector<Case>{
             {false,
              CNTService::kInitFailedExitCode,
              "\"error\",\"id\":104,",
              {"STATUS=Start pending\n", "STATUS=Stopped (exit code 1)\n",
               "STATUS=Stopped (exit code 1)\n"}},
             {true,
              0,
              "\"information\",\"id\":105,",
              // The unknown control still reports the status.
              {"STATUS=Start pending\n", "READY=1\nSTATUS=Running\n", "READY=1\nSTATUS=Running\n",
               "STATUS=Stopped\n"}},
         }) {
        castwatchtest::ServiceWorld world;
        qvtest::NotifySocket manager((world.Root() / "notify").string());
        world.Env().Set("NOTIFY_SOCKET", world.Root() / "notify");
        ScriptedService service(c.initOk);
        ASSERT_TRUE(service.StartDispatcher());
        EXPECT_EQ(service.GetExitCode(), c.exitCode);
        EXPECT_EQ(service.GetState(), qvplat::ServiceState::Stopped);
        EXPECT_EQ(manager.Drain(), c.notifications);
        const std::string events = world.Events();
        EXPECT_EQ(events.rfind(event + c.events, 0), 0U) << events;
        EXPECT_EQ(events.find("\"id\":106") != std::string::npos, c.initOk) << events;
    }
}

TEST(NtService, ServiceMainOutsideADispatcherReportsTheMissingHandler)
{
    castwatchtest::ServiceWorld world;
    ScriptedService service(true);
    service.ServiceMain();
    EXPECT_EQ(
        world.Events(),
        "{\"source\":\"Vigilo\",\"type\":\"error\",\"id\":103,\"category\":0,\"strings\":[]}\n");
    EXPECT_FALSE(service.IsRunning());
}

} // namespace
