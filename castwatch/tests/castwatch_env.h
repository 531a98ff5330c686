// A private world for castwatch's tests: settings directories, a unit
// directory served by the fake service manager, an event log and a
// notification socket standing in for the manager's.
#pragma once

#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace castwatchtest {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ServiceWorld
{
public:
    ServiceWorld()
    {
        m_env.Set("QV_SERVICE_UNIT_DIR", Units());
        m_env.Set("QV_SERVICE_MANAGER", fs::path(FAKE_SERVICE_MANAGER));
        m_env.Set("QV_SERVICE_EVENT_LOG", Root() / "events.jsonl");
        m_env.Set("XDG_RUNTIME_DIR", std::nullopt);
        m_env.Set("NOTIFY_SOCKET", std::nullopt);
    }

    const fs::path& Root() const { return m_env.Root(); }
    fs::path Units() const { return Root() / "units"; }
    fs::path ManagerFile(const std::string& name) const { return Units() / ".fake-manager" / name; }
    std::string Events() const { return ReadText(Root() / "events.jsonl"); }
    qvtest::SettingsEnv& Env() { return m_env; }

private:
    qvtest::SettingsEnv m_env;
};

// The manager's notification socket, for a service run in this process.
class NotifySocket
{
public:
    explicit NotifySocket(const fs::path& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() { ::close(m_fd); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    std::vector<std::string> Drain()
    {
        std::vector<std::string> messages;
        char buffer[1024];
        ssize_t got;
        while ((got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            messages.emplace_back(buffer, static_cast<std::size_t>(got));
        }
        return messages;
    }

private:
    int m_fd = -1;
};

} // namespace castwatchtest
