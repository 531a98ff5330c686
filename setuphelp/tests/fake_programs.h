// Fake programs first on PATH for the launch tests: "fakeprog" and "xdg-open"
// each append one line "<name>[<arg>][<arg>]...|<working directory>" to a
// log. "fakeprog" then exits with N when its first argument is "exit N", and
// kills itself with SIGKILL when it is "kill".
//
// The programs are started detached, so the test cannot wait for them. Each
// inherits the write end of a pipe instead; once the test has closed its own
// end, the pipe reports its end when the last of them has ended.
#pragma once

#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace qvtest {

class FakePrograms
{
public:
    explicit FakePrograms(SettingsEnv& env) : m_bin("setuphelp-bin")
    {
        m_log = m_bin.File("launched.log");
        static const char* const kScript = R"sh(#!/bin/sh
line="${0##*/}"
for a in "$@"; do line="$line[$a]"; done
printf '%s|%s\n' "$line" "$(pwd -P)" >> "$QV_FAKE_LOG"
case "$1" in
  "exit "*) exit "${1#exit }" ;;
  kill) kill -9 $$ ;;
esac
exit 0
)sh";
        for (const char* name : {"fakeprog", "xdg-open"}) {
            const std::string path = m_bin.File(name);
            std::ofstream(path) << kScript;
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
        const char* path = std::getenv("PATH");
        env.Set("PATH", m_bin.Path().string() + ":" + (path != nullptr ? path : "/bin:/usr/bin"));
        env.Set("QV_FAKE_LOG", m_log);
        Arm();
    }
    ~FakePrograms()
    {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    FakePrograms(const FakePrograms&) = delete;
    FakePrograms& operator=(const FakePrograms&) = delete;

    // Waits until every program started since the last call has ended and
    // returns their lines, sorted, and with or without the directory.
    std::vector<std::string> Collect(bool withDirectory = false)
    {
        ::close(m_pipe[1]);
        char byte;
        pollfd wait{m_pipe[0], POLLIN, 0};
        // Generous: only a hung fake program takes this long.
        while (::poll(&wait, 1, 60000) > 0 && ::read(m_pipe[0], &byte, 1) > 0) {
        }
        ::close(m_pipe[0]);
        std::vector<std::string> lines;
        std::ifstream in(m_log);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(withDirectory ? line : line.substr(0, line.rfind('|')));
        }
        std::filesystem::remove(m_log);
        std::sort(lines.begin(), lines.end());
        Arm();
        return lines;
    }

    static std::vector<std::string> Sorted(std::vector<std::string> lines)
    {
        std::sort(lines.begin(), lines.end());
        return lines;
    }

private:
    void Arm()
    {
        // The write end stays open across exec, the read end does not.
        if (::pipe(m_pipe) != 0 || ::fcntl(m_pipe[0], F_SETFD, FD_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
        }
    }

    TempDir m_bin;
    std::string m_log;
    int m_pipe[2] = {-1, -1};
};

} // namespace qvtest
