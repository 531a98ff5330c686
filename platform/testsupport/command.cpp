#include "platform/testsupport/command.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvtest {

namespace {

bool IsExecutableFile(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> SearchDirectories()
{
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string all(path);
        std::string::size_type start = 0;
        while (start <= all.size()) {
            const auto end = all.find(':', start);
            const auto piece =
                all.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!piece.empty()) {
                dirs.push_back(piece);
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
    for (const char* extra : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        dirs.emplace_back(extra);
    }
    return dirs;
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return text;
}

int WaitForChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string FindExecutable(const std::string& name)
{
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return IsExecutableFile(name) ? name : std::string();
    }
    for (const auto& dir : SearchDirectories()) {
        const std::string candidate = dir + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

std::string DescribeCommand(const std::vector<std::string>& argv)
{
    std::string text;
    for (const auto& arg : argv) {
        if (!text.empty()) {
            text += ' ';
        }
        text += arg;
    }
    return text;
}

CommandResult RunCommand(const std::vector<std::string>& argv)
{
    CommandResult result;
    if (argv.empty()) {
        result.output = "no command given";
        return result;
    }
    const std::string program = FindExecutable(argv[0]);
    if (program.empty()) {
        result.output = argv[0] + ": not found";
        return result;
    }

    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed in a threaded process.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.output = "pipe failed";
        return result;
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    const pid_t pid = fork();
    if (pid == 0) {
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
        }
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        // Sockets a test holds must not leak into the tool.
        close_range(3, ~0U, 0);
        execv(program.c_str(), args.data());
        _exit(127);
    }

    close(pipeFds[1]);
    if (devNull >= 0) {
        close(devNull);
    }
    if (pid < 0) {
        close(pipeFds[0]);
        result.output = "fork failed";
        return result;
    }
    result.output = ReadAll(pipeFds[0]);
    close(pipeFds[0]);
    result.exitCode = WaitForChild(pid);
    result.started = result.exitCode != 127;
    return result;
}

} // namespace qvtest
