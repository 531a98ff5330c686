#pragma once
// A private set of settings directories for one test: a fresh temporary
// directory with the Windows directory, drive C and the registry store below
// it, announced through the environment variables the platform reads. The
// previous environment comes back and the directory goes away at the end.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/testsupport/tempfiles.h"

namespace qvtest {

class SettingsEnv
{
public:
    SettingsEnv()
    {
        if (!dir_.Valid()) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        Set("QV_WINDOWS_DIR", dir_.Path() / "windows");
        Set("QV_DRIVE_C_DIR", dir_.Path() / "drive_c");
        Set("QV_REGISTRY_DIR", dir_.Path() / "registry");
        Set("XDG_CONFIG_HOME", dir_.Path() / "config");
        Set("HOME", dir_.Path() / "home");
    }
    ~SettingsEnv()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }
    SettingsEnv(const SettingsEnv&) = delete;
    SettingsEnv& operator=(const SettingsEnv&) = delete;

    const std::filesystem::path& Root() const { return dir_.Path(); }

    // Gives the test a runtime directory of its own (XDG_RUNTIME_DIR), where
    // the named objects shared between processes live. Returns true, so a
    // fixture can call it in a member initialiser before it starts other
    // processes.
    bool UsePrivateRuntime()
    {
        const std::filesystem::path run = dir_.Path() / "run";
        std::filesystem::create_directories(run);
        Set("XDG_RUNTIME_DIR", run);
        return true;
    }

    // Sets (or, with nullopt, removes) a variable, remembering its first value.
    void Set(const std::string& name, const std::optional<std::filesystem::path>& value)
    {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

private:
    // Goes (with everything in it) after the environment has come back.
    TempDir dir_{"qvplat-settings"};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace qvtest
