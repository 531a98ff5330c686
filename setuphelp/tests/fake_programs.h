// Fake programs first on PATH: "fakeprog" and "xdg-open" each append a line
// "<name>[<arg>][<arg>]...|<working directory>" to a log; "fakeprog" then
// exits with N when its first argument is "exit N" and kills itself on "kill".
// The programs run detached, so each inherits the write end of a pipe: once
// the test has closed its own end, the pipe ends when the last of them has.
#pragma once

#include "platform/tests/settings_env.h"
#include "platform/testsupport/tempfiles.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qvtest {

using Lines = std::vector<std::string>;

inline Lines Sorted(Lines lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

class FakePrograms
{
public:
    explicit FakePrograms(SettingsEnv& env) : m_bin("setuphelp-bin"), m_log(m_bin.File("log"))
    {
        for (const char* name : {"fakeprog", "xdg-open"}) {
            std::ofstream(m_bin.File(name)) << R"sh(#!/bin/sh
line="${0##*/}"
for a in "$@"; do line="$line[$a]"; done
printf '%s|%s\n' "$line" "$(pwd -P)" >> "$QV_FAKE_LOG"
case "$1" in "exit "*) exit "${1#exit }" ;; kill) kill -9 $$ ;; esac
)sh";
            std::filesystem::permissions(m_bin.File(name), std::filesystem::perms::owner_all);
        }
        env.Set("PATH", m_bin.Path().string() + ":" + std::getenv("PATH"));
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
    // returns their lines, sorted, with or without the directory.
    Lines Collect(bool withDirectory = false)
    {
        ::close(m_pipe[1]);
        char byte;
        pollfd end{m_pipe[0], POLLIN, 0};
        while (::poll(&end, 1, 60000) > 0 && ::read(m_pipe[0], &byte, 1) > 0) {
        }
        ::close(m_pipe[0]);
        Lines lines;
        std::ifstream in(m_log);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(withDirectory ? line : line.substr(0, line.rfind('|')));
        }
        std::filesystem::remove(m_log);
        Arm();
        return Sorted(lines);
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
