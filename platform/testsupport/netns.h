// Private network namespaces for tests that send real traffic.
//
// A test first moves its own thread into a fresh network namespace
// (ScopedNetNamespace): loopback is up and multicast to 224.0.0.0/4 is routed
// through it, so anything the test sends stays inside and reaches the test's
// own member sockets. A test that needs a second host adds a PeerHost: a named
// namespace joined to the test's namespace by veth pairs with private 10.x
// addresses. Nothing is ever configured in the namespace the process started
// in.
//
// Namespaces belong to threads: only the thread that entered a
// ScopedNetNamespace, and threads it creates afterwards, are inside it. Under
// CTest each test case runs in its own process on the main thread, which is
// exactly that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/testsupport/command.h"

namespace qvtest {

enum class NetnsStatus {
    Ready,       // set up and usable
    Unavailable, // namespaces or the tools they need are not available here: skip
    Failed,      // namespaces are available but setting one up went wrong: fail
};

// Identity of the calling thread's network namespace (its nsfs inode number);
// 0 when it cannot be read.
std::uint64_t CurrentNetNamespaceId();

// True when the calling thread is in a namespace that this harness created and
// still owns. Helpers that change network configuration refuse to act anywhere
// else.
bool InHarnessNamespace();

// Moves the calling thread into a fresh network namespace with loopback up and
// the route "224.0.0.0/4 dev lo src 127.0.0.1"; the destructor, which must run
// on the same thread, moves it back. Check Status() after construction.
class ScopedNetNamespace
{
public:
    ScopedNetNamespace();
    ~ScopedNetNamespace();
    ScopedNetNamespace(const ScopedNetNamespace&) = delete;
    ScopedNetNamespace& operator=(const ScopedNetNamespace&) = delete;

    NetnsStatus Status() const { return m_status; }
    bool IsReady() const { return m_status == NetnsStatus::Ready; }
    const std::string& Error() const { return m_error; }
    std::uint64_t Id() const { return m_id; }

private:
    void Fail(NetnsStatus status, std::string error);
    void Leave();

    NetnsStatus m_status = NetnsStatus::Failed;
    std::string m_error;
    int m_originalFd = -1;
    bool m_entered = false;
    std::uint64_t m_id = 0;
    std::thread::id m_owner;
};

// Runs a callable on a new thread that has joined a given network namespace
// (setns on a thread moves only that thread). Sockets it opens live in that
// namespace. The destructor joins.
class NamespaceThread
{
public:
    // Returns once the thread is inside the namespace; throws std::system_error
    // when it cannot enter it. The descriptor is only used before returning.
    NamespaceThread(int namespaceFd, std::function<void()> fn);
    NamespaceThread(NamespaceThread&&) noexcept = default;
    NamespaceThread& operator=(NamespaceThread&&) = delete;
    NamespaceThread(const NamespaceThread&) = delete;
    NamespaceThread& operator=(const NamespaceThread&) = delete;
    ~NamespaceThread();

    // Waits for the callable to finish and rethrows what it threw.
    void Join();

private:
    std::thread m_thread;
    std::future<void> m_done;
};

// Runs fn in a forked child process that has joined the namespace and returns
// the child's exit status: fn's result (0-255), 125 when fn threw, 126 when the
// namespace could not be entered, -1 when the child could not be run or died
// from a signal. Test assertions inside fn are not seen by the parent: report
// through the result.
int RunInChildProcess(int namespaceFd, const std::function<int()>& fn);

// Replaces the calling thread's default multicast route with one through
// `device` ("224.0.0.0/4 dev <device>"). Only inside harness namespaces.
bool RouteMulticastVia(const std::string& device, std::string* error);

// One veth pair between the test's namespace and a peer.
struct VethLink
{
    std::string localDevice;  // end in the test's namespace
    std::string peerDevice;   // end in the peer's namespace
    std::string localAddress; // dotted IPv4 of the local end
    std::string peerAddress;  // dotted IPv4 of the peer end
    int prefixLength = 24;
};

struct PeerOptions
{
    int linkCount = 1; // veth pairs to create, 1..16
    // Device names are <prefix>l<k> locally and <prefix>p<k> in the peer; an
    // empty prefix means "qv<n>" with n counting the peers of this process.
    std::string devicePrefix;
};

// A second "host": a named network namespace ("qvtest-<pid>-<n>") joined to
// the calling thread's namespace, which must be a harness namespace, by veth
// pairs. Link k gets 10.<100+n>.<k>.1/24 locally and 10.<100+n>.<k>.2/24 in
// the peer; both ends are up. In the peer, loopback is up and 224.0.0.0/4 is
// routed through the first link. The destructor deletes the namespace, also
// after a failed set-up; namespaces left behind by crashed test processes are
// removed when the next peer is made.
class PeerHost
{
public:
    explicit PeerHost(PeerOptions options = {});
    ~PeerHost();
    PeerHost(const PeerHost&) = delete;
    PeerHost& operator=(const PeerHost&) = delete;

    NetnsStatus Status() const { return m_status; }
    bool IsReady() const { return m_status == NetnsStatus::Ready; }
    const std::string& Error() const { return m_error; }

    const std::string& Name() const { return m_name; }
    const std::vector<VethLink>& Links() const { return m_links; }
    const VethLink& Link(std::size_t index) const { return m_links.at(index); }
    int NamespaceFd() const { return m_fd; }
    std::uint64_t Id() const { return m_id; }

    // fn on a thread inside the peer, waited for; rethrows what fn throws.
    void Run(const std::function<void()>& fn) const;
    // fn on a thread inside the peer, running alongside the caller.
    NamespaceThread Spawn(std::function<void()> fn) const;
    // See the free RunInChildProcess.
    int RunInChildProcess(const std::function<int()>& fn) const;
    // "ip -n <name> args..." for further configuration of the peer.
    CommandResult RunIp(const std::vector<std::string>& args) const;

private:
    bool Create(const PeerOptions& options);
    bool CreateLink(const std::string& prefix, int subnet, int index);
    bool Step(const std::vector<std::string>& argv);
    void Destroy();

    NetnsStatus m_status = NetnsStatus::Failed;
    std::string m_error;
    std::string m_name;
    bool m_named = false;
    int m_fd = -1;
    std::uint64_t m_id = 0;
    std::vector<VethLink> m_links;
};

} // namespace qvtest
