// Running a list control in ctlhost_uitest (ctlhost with its test verbs)
// under a private Xvfb display, for the controls' smoke tests: qvregsvr registers the library in
// the test's private registry and ctlhost_uitest hosts the control by ProgID and runs a script. The
// test target defines CTLHOST_UITEST_BINARY, QVREGSVR_BINARY and QV_GUI_LSAN_SUPPRESSIONS.
#pragma once

#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace liststest {

class CtlhostRunner
{
public:
    CtlhostRunner(const qvtest::SettingsEnv& settings, const qvtest::XvfbServer& xvfb)
        : m_work(settings.Root().string())
    {
        const std::string runtime = m_work + "/runtime";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        m_env = {{"DISPLAY", xvfb.Display()},
                 {"GDK_BACKEND", "x11"},
                 {"NO_AT_BRIDGE", "1"},
                 {"XDG_RUNTIME_DIR", runtime},
                 {"LSAN_OPTIONS", std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS +
                                      ":print_suppressions=0"}};
    }

    // qvregsvr [/u] library.
    bool Register(const std::string& library, bool unregister = false)
    {
        auto args = unregister ? std::vector<std::string>{"/u", library}
                               : std::vector<std::string>{library};
        const auto result = qvtest::RunProgram(QVREGSVR_BINARY, args, m_env, m_work, kTimeout);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.exitCode == 0;
    }

    // ctlhost_uitest [options] --script <script> progId.
    qvtest::ProgramResult Run(const std::string& progId, const std::string& script,
                              std::vector<std::string> options = {})
    {
        const std::string file = m_work + "/script-" + std::to_string(++m_runs) + ".txt";
        std::ofstream(file) << script;
        options.insert(options.end(), {"--script", file, progId});
        return qvtest::RunProgram(CTLHOST_UITEST_BINARY, options, m_env, m_work, kTimeout);
    }

private:
    static constexpr std::chrono::seconds kTimeout{180};
    std::string m_work;
    std::vector<std::pair<std::string, std::string>> m_env;
    int m_runs = 0;
};

inline void ExpectLines(const std::string& output, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n---\n" << output;
    }
}

} // namespace liststest
