#include "platform/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qvplat {
namespace {

std::vector<char*> ArgumentPointers(const std::vector<std::string>& argv)
{
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// waitpid that a signal does not cut short; false when it failed otherwise.
bool WaitForChild(pid_t child, int* status)
{
    while (::waitpid(child, status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// What the intermediate child or the grandchild of SpawnAndConfirmExec
// reports back when the program cannot run.
struct ExecFailure
{
    SpawnStage stage;
    int error;
};

void ReportFailure(int fd, SpawnStage stage, int error)
{
    const ExecFailure failure{stage, error};
    // Nothing to do when the report cannot be written: the parent then takes
    // the start for a success.
    [[maybe_unused]] const ssize_t written = ::write(fd, &failure, sizeof failure);
}

int Fail(SpawnStage stage, int error, SpawnStage* failedStage)
{
    if (failedStage != nullptr) {
        *failedStage = stage;
    }
    return error;
}

} // namespace

int SpawnDetached(const std::string& program, const std::vector<std::string>& args, int* pid)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    int child = 0;
    if (const int error = SpawnInNewSession(program, argv, &child); error != 0) {
        return error;
    }
    if (pid != nullptr) {
        *pid = child;
    }
    try {
        std::thread([child] {
            int status = 0;
            WaitForChild(child, &status);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child is reaped when this process ends.
    }
    return 0;
}

int SpawnInNewSession(const std::string& program, const std::vector<std::string>& argv, int* pid)
{
    std::vector<char*> pointers = ArgumentPointers(argv);
    posix_spawnattr_t attributes;
    if (int error = ::posix_spawnattr_init(&attributes); error != 0) {
        return error;
    }
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int error =
        ::posix_spawnp(&child, program.c_str(), nullptr, &attributes, pointers.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error == 0 && pid != nullptr) {
        *pid = child;
    }
    return error;
}

int SpawnAndWait(const std::string& program, const std::vector<std::string>& argv, int* exitCode)
{
    std::vector<char*> pointers = ArgumentPointers(argv);
    pid_t child = 0;
    if (const int error =
            ::posix_spawnp(&child, program.c_str(), nullptr, nullptr, pointers.data(), environ);
        error != 0) {
        return error;
    }
    int status = 0;
    if (!WaitForChild(child, &status)) {
        return errno;
    }
    if (exitCode != nullptr) {
        *exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    return 0;
}

int SpawnAndConfirmExec(const std::string& path, const std::vector<std::string>& argv,
                        const std::string& directory, SpawnStage* failedStage)
{
    // Everything the children need is prepared here: after fork they may
    // only call async-signal-safe functions.
    std::vector<char*> pointers = ArgumentPointers(argv);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return Fail(SpawnStage::Fork, errno, failedStage);
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return Fail(SpawnStage::Fork, error, failedStage);
    }
    if (child == 0) {
        ::close(report[0]);
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                ReportFailure(report[1], SpawnStage::Fork, errno);
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
            ReportFailure(report[1], SpawnStage::Directory, errno);
            ::_exit(127);
        }
        ::execve(path.c_str(), pointers.data(), environ);
        ReportFailure(report[1], SpawnStage::Exec, errno);
        ::_exit(127);
    }

    ::close(report[1]);
    // The report pipe closes on a successful exec, so an empty read means
    // that the program runs.
    ExecFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    int status = 0;
    WaitForChild(child, &status);
    if (got != static_cast<ssize_t>(sizeof failure)) {
        return 0;
    }
    return Fail(failure.stage, failure.error, failedStage);
}

} // namespace qvplat
