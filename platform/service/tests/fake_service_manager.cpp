// fake_service_manager: a stand-in for systemctl in tests. It knows the
// verbs the service stand-in uses and keeps its state beside the unit
// files, in $QV_SERVICE_UNIT_DIR/.fake-manager:
//
//   commands          every command line it was given, one per line
//   <unit>.enabled    present while the unit is enabled
//   <unit>.pid        "<main pid> <supervisor pid>" while the service runs
//   <unit>.notify     every notification datagram, each followed by a line "--"
//   <unit>.exit       "exit <code>" or "signal <number>" once the service ended,
//                     and "stopped after <ms> ms" when it ended by "stop"
//   <unit>.out        the service's standard output and error
//
//   [--user] daemon-reload          does nothing
//   [--user] enable|disable <unit>  enable needs an [Install] section
//   [--user] start <unit>           runs ExecStart= (Type=notify) under a
//                                   supervisor with NOTIFY_SOCKET set and
//                                   returns once it sent READY=1 (0), or
//                                   when it ended before that (1)
//   [--user] stop <unit>            SIGTERM to the service, then waits for
//                                   its end; after $FAKE_SERVICE_STOP_TIMEOUT_MS
//                                   (10000) it is killed and the result is 1
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path g_state;

int PidFd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void Tell(int fd, char answer)
{
    [[maybe_unused]] const ssize_t written = ::write(fd, &answer, 1);
}

void Append(const fs::path& file, const std::string& text)
{
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << text;
}

std::string Read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The words of an ExecStart= value: blanks separate words, double quotes
// group them with \" and \\ inside, "%%" stands for '%' and, after the
// first word, "$$" for '$'.
std::vector<std::string> SplitCommand(const std::string& value)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && value[i] == ' ') {
            ++i;
        }
        if (i == value.size()) {
            break;
        }
        std::string word;
        bool quoted = false;
        for (; i < value.size() && (quoted || value[i] != ' '); ++i) {
            const char c = value[i];
            if (c == '"') {
                quoted = !quoted;
            } else if (c == '\\' && quoted && i + 1 < value.size()) {
                word += value[++i];
            } else if ((c == '%' || (c == '$' && !words.empty())) && i + 1 < value.size() &&
                       value[i + 1] == c) {
                word += c;
                ++i;
            } else {
                word += c;
            }
        }
        words.push_back(word);
    }
    return words;
}

struct Unit
{
    bool found = false;
    bool notify = false;
    bool installable = false;
    std::vector<std::string> command;
};

Unit ReadUnit(const fs::path& file)
{
    Unit unit;
    std::ifstream in(file);
    unit.found = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Type=notify") {
            unit.notify = true;
        } else if (line == "[Install]") {
            unit.installable = true;
        } else if (line.rfind("ExecStart=", 0) == 0) {
            unit.command = SplitCommand(line.substr(10));
        }
    }
    return unit;
}

// The supervisor: runs the service and records what it says and how it
// ends. Tells the starter on `ready` ('R' ready, 'F' ended before that).
[[noreturn]] void Supervise(const std::string& unit, const Unit& spec, int ready)
{
    ::setsid();
    // Nothing of the starter's: whoever reads its output sees it end.
    const int quiet = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        ::dup2(quiet, fd);
    }
    const fs::path socketPath = g_state / (unit + ".sock");
    ::unlink(socketPath.c_str());
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Tell(ready, 'F');
        ::_exit(1);
    }

    ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    const fs::path output = g_state / (unit + ".out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& word : spec.command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    pid_t service = -1;
    const int spawned = ::posix_spawn(&service, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        Append(g_state / (unit + ".exit"), "spawn failed " + std::to_string(spawned) + "\n");
        Tell(ready, 'F');
        ::_exit(1);
    }
    const fs::path pidFile = g_state / (unit + ".pid");
    Append(pidFile, std::to_string(service) + " " + std::to_string(::getpid()) + "\n");

    const int pidfd = PidFd(service);
    bool told = false;
    pollfd waits[2] = {{sock, POLLIN, 0}, {pidfd, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            char buffer[4096];
            const ssize_t got = ::recv(sock, buffer, sizeof buffer, 0);
            if (got > 0) {
                std::string message(buffer, static_cast<std::size_t>(got));
                Append(g_state / (unit + ".notify"),
                       message + (message.back() == '\n' ? "" : "\n") + "--\n");
                if (!told && ("\n" + message).find("\nREADY=1") != std::string::npos) {
                    Tell(ready, 'R');
                    told = true;
                }
            }
            continue; // read every datagram before looking at the exit
        }
        if ((waits[1].revents & POLLIN) != 0) {
            break;
        }
    }
    int status = 0;
    ::waitpid(service, &status, 0);
    Append(g_state / (unit + ".exit"), WIFEXITED(status)
                                           ? "exit " + std::to_string(WEXITSTATUS(status)) + "\n"
                                           : "signal " + std::to_string(WTERMSIG(status)) + "\n");
    ::unlink(pidFile.c_str());
    ::unlink(socketPath.c_str());
    if (!told) {
        Tell(ready, 'F');
    }
    ::_exit(0);
}

bool Running(const std::string& unit, pid_t& service, pid_t& supervisor)
{
    std::istringstream pids(Read(g_state / (unit + ".pid")));
    return static_cast<bool>(pids >> service >> supervisor) && ::kill(supervisor, 0) == 0;
}

int Start(const std::string& unit, const fs::path& unitFile)
{
    const Unit spec = ReadUnit(unitFile);
    if (!spec.found) {
        std::fprintf(stderr, "Unit %s not found.\n", unit.c_str());
        return 5;
    }
    if (!spec.notify || spec.command.empty()) {
        std::fprintf(stderr, "%s: not a notify service with ExecStart=\n", unit.c_str());
        return 1;
    }
    pid_t service = -1;
    pid_t supervisor = -1;
    if (Running(unit, service, supervisor)) {
        return 0;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return 1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        Supervise(unit, spec, ready[1]);
    }
    ::close(ready[1]);
    char answer = 'F';
    ssize_t got;
    do {
        got = ::read(ready[0], &answer, 1);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    if (got == 1 && answer == 'R') {
        return 0;
    }
    std::fprintf(stderr, "Job for %s failed.\n", unit.c_str());
    return 1;
}

int Stop(const std::string& unit)
{
    pid_t service = -1;
    pid_t supervisor = -1;
    if (!Running(unit, service, supervisor)) {
        return 0;
    }
    const char* limit = std::getenv("FAKE_SERVICE_STOP_TIMEOUT_MS");
    const int timeoutMs = limit != nullptr ? std::atoi(limit) : 10000;
    const int pidfd = PidFd(supervisor);
    const auto begin = std::chrono::steady_clock::now();
    ::kill(service, SIGTERM);
    pollfd wait{pidfd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&wait, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        ::kill(service, SIGKILL);
        std::fprintf(stderr, "%s: did not stop in time; killed.\n", unit.c_str());
        return 1;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begin);
    Append(g_state / (unit + ".exit"),
           "stopped after " + std::to_string(elapsed.count()) + " ms\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* unitDir = std::getenv("QV_SERVICE_UNIT_DIR");
    if (unitDir == nullptr || unitDir[0] == '\0') {
        std::fprintf(stderr, "fake_service_manager: QV_SERVICE_UNIT_DIR is not set\n");
        return 2;
    }
    g_state = fs::path(unitDir) / ".fake-manager";
    fs::create_directories(g_state);

    std::vector<std::string> args(argv + 1, argv + argc);
    std::string line;
    for (const std::string& arg : args) {
        line += (line.empty() ? "" : " ") + arg;
    }
    Append(g_state / "commands", line + "\n");

    if (!args.empty() && args.front() == "--user") {
        args.erase(args.begin());
    }
    if (args.size() == 1 && args[0] == "daemon-reload") {
        return 0;
    }
    if (args.size() != 2) {
        std::fprintf(stderr, "fake_service_manager: unknown command: %s\n", line.c_str());
        return 2;
    }
    const std::string& verb = args[0];
    const std::string& unit = args[1];
    const fs::path unitFile = fs::path(unitDir) / unit;
    if (verb == "enable") {
        if (!ReadUnit(unitFile).installable) {
            std::fprintf(stderr, "The unit files have no installation config.\n");
            return 1;
        }
        Append(g_state / (unit + ".enabled"), "");
        return 0;
    }
    if (verb == "disable") {
        fs::remove(g_state / (unit + ".enabled"));
        return 0;
    }
    if (verb == "start") {
        return Start(unit, unitFile);
    }
    if (verb == "stop") {
        return Stop(unit);
    }
    std::fprintf(stderr, "fake_service_manager: unknown command: %s\n", line.c_str());
    return 2;
}
