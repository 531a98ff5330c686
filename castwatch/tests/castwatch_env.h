// A private world for castwatch's tests: settings directories, a unit
// directory served by the fake service manager and an event log.
#pragma once

#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

} // namespace castwatchtest
