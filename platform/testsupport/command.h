// Running external tools (ip, nft) from tests without a shell.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

struct CommandResult
{
    bool started = false; // false when the program was not found or could not be run
    int exitCode = -1;    // exit status; -1 when not started or killed by a signal
    std::string output;   // standard output and standard error, interleaved

    bool Succeeded() const { return started && exitCode == 0; }
};

// Full path of an executable: searched in PATH, then in the sbin and bin
// directories (root tools such as ip and nft live in sbin, which a test
// runner's PATH may lack). Empty when not found.
std::string FindExecutable(const std::string& name);

// Runs argv[0] (looked up with FindExecutable) with the given arguments in a
// child process, in the calling thread's namespaces, with standard input from
// /dev/null, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv);

// "ip a b c" for error messages.
std::string DescribeCommand(const std::vector<std::string>& argv);

} // namespace qvtest
