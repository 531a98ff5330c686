#include "platform/testsupport/netns.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace qvtest {

namespace {

constexpr const char* kNetnsDir = "/run/netns";
constexpr const char* kNamePrefix = "qvtest-";
constexpr int kMaxLinks = 16;
constexpr int kMaxPeers = 150;

// Namespaces this process created and still owns.
std::mutex g_registryLock;
std::set<std::uint64_t> g_harnessNamespaces;

void Register(std::uint64_t id)
{
    std::lock_guard lock(g_registryLock);
    g_harnessNamespaces.insert(id);
}

void Unregister(std::uint64_t id)
{
    std::lock_guard lock(g_registryLock);
    g_harnessNamespaces.erase(id);
}

std::uint64_t NamespaceIdOf(int fd)
{
    struct stat info = {};
    return fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

std::string ErrnoText(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

std::string CommandError(const std::vector<std::string>& argv, const CommandResult& result)
{
    std::string text = "'" + DescribeCommand(argv) + "' failed";
    if (result.started) {
        text += " with status " + std::to_string(result.exitCode);
    }
    if (!result.output.empty()) {
        text += ": " + result.output;
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
    }
    return text;
}

// Serialises "ip netns add/delete" between test processes. The first
// "ip netns add" on a machine turns /run/netns into a mount point; two of them
// racing can stack two mounts and hide one process's namespace file.
class NetnsDirLock
{
public:
    NetnsDirLock()
    {
        const char* path = access("/run/lock", W_OK) == 0 ? "/run/lock/qvtest-netns.lock"
                                                          : "/tmp/qvtest-netns.lock";
        m_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~NetnsDirLock()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    NetnsDirLock(const NetnsDirLock&) = delete;
    NetnsDirLock& operator=(const NetnsDirLock&) = delete;

private:
    int m_fd = -1;
};

// "qvtest-<pid>-<n>" -> pid, or 0 for other names.
pid_t OwnerOf(const std::string& name)
{
    const std::string prefix(kNamePrefix);
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    const std::string rest = name.substr(prefix.size());
    const auto dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.find_first_not_of("0123456789") != dash) {
        return 0;
    }
    try {
        return static_cast<pid_t>(std::stol(rest.substr(0, dash)));
    } catch (const std::exception&) {
        return 0;
    }
}

// Deletes the namespaces of test processes that died without cleaning up.
void RemoveStaleNamespaces()
{
    std::vector<std::string> stale;
    if (DIR* dir = opendir(kNetnsDir)) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            const pid_t owner = OwnerOf(name);
            if (owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH) {
                stale.push_back(name);
            }
        }
        closedir(dir);
    }
    for (const auto& name : stale) {
        RunCommand({"ip", "netns", "delete", name});
    }
}

} // namespace

std::uint64_t CurrentNetNamespaceId()
{
    struct stat info = {};
    return stat("/proc/thread-self/ns/net", &info) == 0 ? static_cast<std::uint64_t>(info.st_ino)
                                                        : 0;
}

bool InHarnessNamespace()
{
    const std::uint64_t id = CurrentNetNamespaceId();
    std::lock_guard lock(g_registryLock);
    return id != 0 && g_harnessNamespaces.count(id) != 0;
}

// ---------------------------------------------------------------------------
// ScopedNetNamespace

ScopedNetNamespace::ScopedNetNamespace() : m_owner(std::this_thread::get_id())
{
    m_originalFd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (m_originalFd < 0) {
        Fail(NetnsStatus::Unavailable,
             ErrnoText("cannot open /proc/thread-self/ns/net (network namespaces unsupported?)",
                       errno));
        return;
    }
    if (FindExecutable("ip").empty()) {
        Fail(NetnsStatus::Unavailable, "the 'ip' tool (iproute2) is not installed; run "
                                       "scripts/setup.sh");
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        Fail(NetnsStatus::Unavailable,
             ErrnoText("cannot create a network namespace (unshare(CLONE_NEWNET)); these tests "
                       "need root or CAP_SYS_ADMIN",
                       errno));
        return;
    }
    m_entered = true;
    m_id = CurrentNetNamespaceId();
    Register(m_id);

    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "set", "dev", "lo", "up"},
        {"ip", "route", "add", "224.0.0.0/4", "dev", "lo", "src", "127.0.0.1"},
    };
    for (const auto& step : steps) {
        const CommandResult result = RunCommand(step);
        if (!result.Succeeded()) {
            Fail(NetnsStatus::Failed, CommandError(step, result));
            return;
        }
    }
    m_status = NetnsStatus::Ready;
}

ScopedNetNamespace::~ScopedNetNamespace()
{
    Leave();
}

void ScopedNetNamespace::Fail(NetnsStatus status, std::string error)
{
    m_status = status;
    m_error = std::move(error);
    Leave();
}

void ScopedNetNamespace::Leave()
{
    if (m_entered) {
        Unregister(m_id);
        if (std::this_thread::get_id() != m_owner) {
            std::fprintf(stderr, "ScopedNetNamespace destroyed on another thread; the owning "
                                 "thread stays in the test namespace\n");
        } else if (setns(m_originalFd, CLONE_NEWNET) != 0) {
            std::perror("setns back to the original network namespace");
        }
        m_entered = false;
    }
    if (m_originalFd >= 0) {
        close(m_originalFd);
        m_originalFd = -1;
    }
}

// ---------------------------------------------------------------------------
// Running code inside a namespace

NamespaceThread::NamespaceThread(int namespaceFd, std::function<void()> fn)
{
    std::promise<int> entered;
    std::future<int> enteredResult = entered.get_future();
    std::promise<void> done;
    m_done = done.get_future();

    m_thread = std::thread([namespaceFd, fn = std::move(fn), entered = std::move(entered),
                            done = std::move(done)]() mutable {
        if (setns(namespaceFd, CLONE_NEWNET) != 0) {
            entered.set_value(errno);
            return;
        }
        entered.set_value(0);
        try {
            fn();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });

    const int error = enteredResult.get();
    if (error != 0) {
        m_thread.join();
        throw std::system_error(error, std::generic_category(), "setns(CLONE_NEWNET)");
    }
}

NamespaceThread::~NamespaceThread()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void NamespaceThread::Join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_done.valid()) {
        m_done.get();
    }
}

int RunInChildProcess(int namespaceFd, const std::function<int()>& fn)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setns(namespaceFd, CLONE_NEWNET) != 0) {
            _exit(126);
        }
        int code = 125;
        try {
            code = fn() & 0xff;
        } catch (...) {
            code = 125;
        }
        _exit(code);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool RouteMulticastVia(const std::string& device, std::string* error)
{
    if (!InHarnessNamespace()) {
        if (error) {
            *error = "refusing to change routes outside a test namespace";
        }
        return false;
    }
    const std::vector<std::string> argv = {"ip", "route", "replace", "224.0.0.0/4", "dev", device};
    const CommandResult result = RunCommand(argv);
    if (!result.Succeeded() && error) {
        *error = CommandError(argv, result);
    }
    return result.Succeeded();
}

// ---------------------------------------------------------------------------
// PeerHost

PeerHost::PeerHost(PeerOptions options)
{
    if (Create(options)) {
        m_status = NetnsStatus::Ready;
    } else {
        Destroy();
    }
}

PeerHost::~PeerHost()
{
    Destroy();
}

bool PeerHost::Create(const PeerOptions& options)
{
    static std::atomic<int> peerCounter{0};

    if (!InHarnessNamespace()) {
        m_error = "a PeerHost must be made from inside a test namespace (ScopedNetNamespace)";
        return false;
    }
    if (options.linkCount < 1 || options.linkCount > kMaxLinks) {
        m_error = "link count must be 1.." + std::to_string(kMaxLinks);
        return false;
    }
    const int peerIndex = peerCounter++;
    if (peerIndex >= kMaxPeers) {
        m_error = "too many peers in one process";
        return false;
    }
    const std::string prefix =
        options.devicePrefix.empty() ? "qv" + std::to_string(peerIndex) : options.devicePrefix;
    if (prefix.size() + 3 > 15) {
        m_error = "device prefix too long: " + prefix;
        return false;
    }

    m_name = kNamePrefix + std::to_string(getpid()) + "-" + std::to_string(peerIndex);
    {
        NetnsDirLock lock;
        RemoveStaleNamespaces();
        const std::vector<std::string> add = {"ip", "netns", "add", m_name};
        const CommandResult result = RunCommand(add);
        if (!result.Succeeded()) {
            m_status = NetnsStatus::Unavailable;
            m_error = CommandError(add, result);
            return false;
        }
        m_named = true;
    }

    const std::string path = std::string(kNetnsDir) + "/" + m_name;
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = ErrnoText(("cannot open " + path).c_str(), errno);
        return false;
    }
    m_id = NamespaceIdOf(m_fd);
    Register(m_id);

    if (!Step({"ip", "-n", m_name, "link", "set", "dev", "lo", "up"})) {
        return false;
    }
    for (int k = 0; k < options.linkCount; ++k) {
        if (!CreateLink(prefix, 100 + peerIndex, k)) {
            return false;
        }
    }
    return Step(
        {"ip", "-n", m_name, "route", "add", "224.0.0.0/4", "dev", m_links.front().peerDevice});
}

bool PeerHost::CreateLink(const std::string& prefix, int subnet, int index)
{
    VethLink link;
    link.localDevice = prefix + "l" + std::to_string(index);
    link.peerDevice = prefix + "p" + std::to_string(index);
    const std::string net = "10." + std::to_string(subnet) + "." + std::to_string(index) + ".";
    link.localAddress = net + "1";
    link.peerAddress = net + "2";
    const std::string prefixText = "/" + std::to_string(link.prefixLength);

    const bool ok =
        Step({"ip", "link", "add", link.localDevice, "type", "veth", "peer", "name",
              link.peerDevice, "netns", m_name}) &&
        Step({"ip", "addr", "add", link.localAddress + prefixText, "dev", link.localDevice}) &&
        Step({"ip", "link", "set", "dev", link.localDevice, "up"}) &&
        Step({"ip", "-n", m_name, "addr", "add", link.peerAddress + prefixText, "dev",
              link.peerDevice}) &&
        Step({"ip", "-n", m_name, "link", "set", "dev", link.peerDevice, "up"});
    if (ok) {
        m_links.push_back(std::move(link));
    }
    return ok;
}

bool PeerHost::Step(const std::vector<std::string>& argv)
{
    const CommandResult result = RunCommand(argv);
    if (!result.Succeeded()) {
        m_error = CommandError(argv, result);
        return false;
    }
    return true;
}

void PeerHost::Destroy()
{
    if (m_fd >= 0) {
        Unregister(m_id);
        close(m_fd);
        m_fd = -1;
    }
    if (m_named) {
        NetnsDirLock lock;
        const std::vector<std::string> del = {"ip", "netns", "delete", m_name};
        const CommandResult result = RunCommand(del);
        if (!result.Succeeded()) {
            std::fprintf(stderr, "%s\n", CommandError(del, result).c_str());
        }
        m_named = false;
    }
}

void PeerHost::Run(const std::function<void()>& fn) const
{
    NamespaceThread(m_fd, fn).Join();
}

NamespaceThread PeerHost::Spawn(std::function<void()> fn) const
{
    return NamespaceThread(m_fd, std::move(fn));
}

int PeerHost::RunInChildProcess(const std::function<int()>& fn) const
{
    return qvtest::RunInChildProcess(m_fd, fn);
}

CommandResult PeerHost::RunIp(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {"ip", "-n", m_name};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

} // namespace qvtest
