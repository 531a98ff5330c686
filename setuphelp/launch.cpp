// DoShellExecute, DoSpawnWait and DoSpawnNoWait.
#include "setuphelp/launch.h"

#include "platform/paths.h"
#include "setuphelp/setuphelp.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qvsetup {
namespace {

// Windows shell results.
constexpr int kShellStarted = 42; // any value above 32 means success
constexpr int kErrOther = 0;
constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;
constexpr int kErrAccessDenied = 5;
constexpr int kErrOutOfMemory = 8;
constexpr int kErrBadFormat = 11;
constexpr int kErrNoAssociation = 31;

int ShellError(int error)
{
    static constexpr std::pair<int, int> kCodes[] = {
        {ENOENT, kErrFileNotFound},  {ENOTDIR, kErrPathNotFound}, {ENAMETOOLONG, kErrPathNotFound},
        {ELOOP, kErrPathNotFound},   {EACCES, kErrAccessDenied},  {EPERM, kErrAccessDenied},
        {ETXTBSY, kErrAccessDenied}, {ENOMEM, kErrOutOfMemory},   {EAGAIN, kErrOutOfMemory},
        {ENOEXEC, kErrBadFormat},    {E2BIG, kErrBadFormat}};
    for (const auto& [errorNumber, code] : kCodes) {
        if (errorNumber == error) {
            return code;
        }
    }
    return kErrOther;
}

std::string Text(const char* text)
{
    return text != nullptr ? text : "";
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsExecutableFile(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// A relative name is taken in directory (when one is given), as the program
// that runs there would see it.
std::string InDirectory(const std::string& name, const std::string& directory)
{
    if (name.front() == '/' || directory.empty()) {
        return name;
    }
    return directory + "/" + name;
}

std::string Absolute(const std::string& path)
{
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.string();
}

// The absolute path of the executable a name stands for: a name with a slash
// as it is, a bare name along PATH (an empty element is the working
// directory). "" when there is none.
std::string FindProgram(const std::string& name, const std::string& directory)
{
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        const std::string path = InDirectory(name, directory);
        return IsExecutableFile(path) ? Absolute(path) : std::string();
    }
    const char* pathVariable = std::getenv("PATH");
    const std::string_view search = pathVariable != nullptr ? pathVariable : "/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string_view::npos) {
            end = search.size();
        }
        const std::string_view element = search.substr(start, end - start);
        const std::string candidate =
            (element.empty() ? std::string(".") : std::string(element)) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return Absolute(candidate);
        }
        start = end + 1;
    }
    return {};
}

// "scheme:..." with a scheme of two or more characters (so no drive letter).
bool IsUrl(const std::string& name)
{
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos || colon < 2 ||
        std::isalpha(static_cast<unsigned char>(name[0])) == 0) {
        return false;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// What the launched process reports back when it cannot run the program.
struct LaunchFailure
{
    int stage;
    int error;
};
constexpr int kStageFork = 1;
constexpr int kStageDirectory = 2;
constexpr int kStageExec = 3;

void ReportFailure(int fd, int stage, int error)
{
    const LaunchFailure failure{stage, error};
    // Nothing to do when the report cannot be written: the parent then takes
    // the launch for a success.
    [[maybe_unused]] const ssize_t written = ::write(fd, &failure, sizeof failure);
}

// Runs path with the arguments args in directory (when not empty), in a new
// session, as a grandchild: the intermediate child ends at once and is
// reaped here, so the program is never a child of ours and leaves no zombie.
// Returns kShellStarted once the program runs, else a shell error code.
int LaunchDetached(const std::string& path, const std::vector<std::string>& args,
                   const std::string& directory)
{
    // Everything the child needs is prepared here: after fork it may only
    // call async-signal-safe functions.
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return ShellError(errno);
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return ShellError(error);
    }
    if (child == 0) {
        ::close(report[0]);
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                ReportFailure(report[1], kStageFork, errno);
            }
            ::_exit(0);
        }
        ::setsid();
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction defaultAction = {};
        defaultAction.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number) {
            ::sigaction(number, &defaultAction, nullptr);
        }
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
            ReportFailure(report[1], kStageDirectory, errno);
            ::_exit(127);
        }
        ::execve(path.c_str(), argv.data(), environ);
        ReportFailure(report[1], kStageExec, errno);
        ::_exit(127);
    }

    ::close(report[1]);
    // The report pipe closes on a successful exec, so an empty read means
    // that the program runs.
    LaunchFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof failure)) {
        return kShellStarted;
    }
    if (failure.stage == kStageDirectory && failure.error != EACCES) {
        return kErrPathNotFound;
    }
    return ShellError(failure.error);
}

std::vector<char*> SpawnArguments(const char* args)
{
    // The argument string is handed over whole, after the word "command";
    // a null string ends the list there.
    static char command[] = "command";
    std::vector<char*> argv{command};
    if (args != nullptr) {
        argv.push_back(const_cast<char*>(args));
    }
    argv.push_back(nullptr);
    return argv;
}

} // namespace

std::vector<std::string> SplitArguments(std::string_view text)
{
    std::vector<std::string> args;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        if (IsBlank(c)) {
            if (inWord) {
                args.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (i == text.size()) {
                word += c;
            } else if (text[i] == '\n') {
                ++i;
            } else {
                word += text[i++];
            }
        } else if (c == '\'') {
            while (i < text.size() && text[i] != '\'') {
                word += text[i++];
            }
            ++i;
        } else if (c == '"') {
            while (i < text.size() && text[i] != '"') {
                const char inner = text[i++];
                if (inner == '\\' && i < text.size() &&
                    std::string_view("$`\"\\\n").find(text[i]) != std::string_view::npos) {
                    if (text[i] != '\n') {
                        word += text[i];
                    }
                    ++i;
                } else {
                    word += inner;
                }
            }
            ++i;
        } else {
            word += c;
        }
    }
    if (inWord) {
        args.push_back(std::move(word));
    }
    return args;
}

} // namespace qvsetup

using namespace qvsetup;

extern "C" int DoShellExecute(const char* file, const char* params, const char* directory,
                              int /*show: no windows to show or hide here*/)
{
    const std::string name = qvplat::MapPath(Text(file));
    const std::string dir = qvplat::MapPath(Text(directory));
    if (name.empty()) {
        return kErrFileNotFound;
    }
    if (!dir.empty()) {
        struct stat info = {};
        if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return kErrPathNotFound;
        }
    }

    const std::string program = FindProgram(name, dir);
    if (!program.empty()) {
        std::vector<std::string> args = SplitArguments(Text(params));
        args.insert(args.begin(), name);
        return LaunchDetached(program, args, dir);
    }

    // Not a program: a document or a URL for the desktop's opener.
    if (!IsUrl(name) && ::access(InDirectory(name, dir).c_str(), F_OK) != 0) {
        return ShellError(errno);
    }
    const std::string opener = FindProgram("xdg-open", {});
    if (opener.empty()) {
        return kErrNoAssociation;
    }
    return LaunchDetached(opener, {"xdg-open", name}, dir);
}

extern "C" int DoSpawnWait(const char* program, const char* args)
{
    const std::string path = qvplat::MapPath(Text(program));
    if (path.empty()) {
        return -1;
    }
    std::vector<char*> argv = SpawnArguments(args);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

extern "C" int DoSpawnNoWait(const char* program, const char* args)
{
    const std::string path = qvplat::MapPath(Text(program));
    if (path.empty()) {
        return -1;
    }
    std::vector<char*> argv = SpawnArguments(args);
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
        return -1;
    }
    // A session of its own: the program outlives us and is not tied to our
    // terminal. When we end, it is handed to init, which reaps it.
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int result =
        ::posix_spawnp(&pid, path.c_str(), nullptr, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        return -1;
    }
    // The program takes over: the caller ends here, as when it is replaced.
    std::fflush(nullptr);
    ::_exit(0);
}
