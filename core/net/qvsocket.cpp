#include "core/net/qvsocket.h"

#include "core/settings/qvexception.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

// Socket objects alive in the process. The socket library needs no start-up
// here, so the count only mirrors the objects' lifetimes.
std::atomic<int> g_socketObjects{0};

// The errno of this thread's last failed socket operation.
thread_local int t_lastError = 0;

constexpr unsigned int kMaxPort = 65535;

in_addr_t AddressFromText(const char* text)
{
    return text != nullptr ? inet_addr(text) : htonl(INADDR_ANY);
}

sockaddr_in MakeAddress(in_addr_t address, unsigned int port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    result.sin_addr.s_addr = address;
    return result;
}

bool IsDatagramType(int type)
{
    return (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_DGRAM;
}

// Runs a system call again for as long as a signal interrupts it. Every
// call of this file that can be interrupted goes through here or through
// PollResuming.
template <typename Call> auto ResumingInterrupted(Call call)
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

// poll, resumed after a signal for the rest of the time.
int PollResuming(pollfd* entries, nfds_t count, int timeoutMs)
{
    using SteadyClock = std::chrono::steady_clock;
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    int wait = timeoutMs;
    for (;;) {
        const int ready = ::poll(entries, count, wait);
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
        if (timeoutMs > 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
            wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
    }
}

// What makes a socket worth a receive: data, the end of a stream, or an
// error that the receive will report.
constexpr short kReadableEvents = POLLIN | POLLERR | POLLHUP;

} // namespace

QvSocket::QvSocket()
{
    ++g_socketObjects;
}

QvSocket::~QvSocket()
{
    --g_socketObjects;
    CloseHandle();
}

int QvSocket::GetStartupError()
{
    return 0;
}

int QvSocket::GetLastError()
{
    return t_lastError;
}

int QvSocket::Fail(int result)
{
    return Fail(result, errno);
}

int QvSocket::Fail(int result, int error)
{
    t_lastError = error;
    return result;
}

int QvSocket::Create(unsigned int port, int type, long /*events*/, const char* address)
{
    CloseHandle();
    if (port > kMaxPort) {
        return Fail(0, EINVAL);
    }
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Fail(0);
    }
    m_socket = fd;
    m_datagram = IsDatagramType(type);
    m_nonBlocking = (type & SOCK_NONBLOCK) != 0;
    m_dropCount = false;
    m_receiveShut.store(false);
    m_receiveTimeoutMs = kWaitForever; // a new socket has none
    m_localAddress = MakeAddress(AddressFromText(address), port);

    const int reuse = 1;
    if (SetSockOpt(SO_REUSEADDR, &reuse, sizeof(reuse), SOL_SOCKET) == 0) {
        const int error = GetLastError();
        CloseHandle();
        throw QvException(__FILE__, __LINE__, "SetSockOpt() SO_REUSEADDR failed.", error);
    }
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&m_localAddress),
               sizeof(m_localAddress)) != 0) {
        const int result = Fail(0);
        // A socket that is not bound is of no use to any caller: leave none open.
        CloseHandle();
        return result;
    }
    return 1;
}

int QvSocket::Bind(const sockaddr* address, int length)
{
    if (length < 0) {
        return Fail(0, EINVAL);
    }
    if (::bind(m_socket, address, static_cast<socklen_t>(length)) != 0) {
        return Fail(0);
    }
    return 1;
}

int QvSocket::Connect(const char* address, unsigned int port)
{
    if (port > kMaxPort) {
        return Fail(0, EINVAL);
    }
    m_localAddress = MakeAddress(AddressFromText(address), port);
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&m_localAddress),
                  sizeof(m_localAddress)) != 0) {
        return Fail(0);
    }
    return 1;
}

int QvSocket::Listen(int backlog)
{
    if (::listen(m_socket, backlog) != 0) {
        return Fail(0);
    }
    return 1;
}

int QvSocket::IOCtl(long command, unsigned long* argument)
{
    if (argument == nullptr) {
        return Fail(0, EFAULT);
    }
    // The kernel reads and writes an int for both commands.
    if (command == FIONREAD) {
        int waiting = 0;
        if (::ioctl(m_socket, FIONREAD, &waiting) != 0) {
            return Fail(0);
        }
        *argument = static_cast<unsigned long>(waiting);
        return 1;
    }
    if (command == FIONBIO) {
        int nonBlocking = *argument != 0 ? 1 : 0;
        if (::ioctl(m_socket, FIONBIO, &nonBlocking) != 0) {
            return Fail(0);
        }
        m_nonBlocking = nonBlocking != 0;
        return 1;
    }
    return Fail(0, EINVAL);
}

int QvSocket::SetSockOpt(int option, const void* value, int length, int level)
{
    if (length < 0) {
        return Fail(0, EINVAL);
    }
    if (level == SOL_SOCKET && option == SO_RCVTIMEO) {
        m_receiveTimeoutMs = kReceiveTimeoutUnknown;
    }
    if (::setsockopt(m_socket, level, option, value, static_cast<socklen_t>(length)) != 0) {
        return Fail(0);
    }
    return 1;
}

int QvSocket::GetSockOpt(int option, void* value, int* length, int level) const
{
    if (length == nullptr || *length < 0) {
        return Fail(0, EINVAL);
    }
    auto size = static_cast<socklen_t>(*length);
    if (::getsockopt(m_socket, level, option, value, &size) != 0) {
        return Fail(0);
    }
    *length = static_cast<int>(size);
    return 1;
}

int QvSocket::GetReceiveMemory(ReceiveMemory& memory) const
{
    std::uint32_t values[SK_MEMINFO_VARS] = {};
    int length = sizeof(values);
    if (GetSockOpt(SO_MEMINFO, values, &length) == 0 ||
        length <= static_cast<int>(SK_MEMINFO_DROPS * sizeof(values[0]))) {
        return 0;
    }
    memory.queued = values[SK_MEMINFO_RMEM_ALLOC];
    memory.buffer = values[SK_MEMINFO_RCVBUF];
    memory.drops = values[SK_MEMINFO_DROPS];
    return 1;
}

int QvSocket::EnableDropCount()
{
    const int on = 1;
    if (SetSockOpt(SO_RXQ_OVFL, &on, sizeof(on)) == 0) {
        return 0;
    }
    m_dropCount = true;
    return 1;
}

void QvSocket::ShutdownReceive()
{
    // The flag first: a receive that the shutdown wakes sees it. On a
    // datagram socket that is not connected the call reports ENOTCONN, yet
    // it still wakes the waiters and ends later waits at once.
    m_receiveShut.store(true);
    if (m_socket != QV_INVALID_SOCKET) {
        ::shutdown(m_socket, SHUT_RD);
    }
}

int QvSocket::Send(const void* buffer, int length, int flags)
{
    if (length < 0) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    const ssize_t sent = ResumingInterrupted([&] {
        return ::send(m_socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    });
    if (sent < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    return static_cast<int>(sent);
}

int QvSocket::Receive(void* buffer, int length, int flags)
{
    if (m_datagram) {
        return ReceiveDatagram(buffer, length, nullptr, nullptr, flags);
    }
    if (length < 0) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    const ssize_t received = ResumingInterrupted(
        [&] { return ::recv(m_socket, buffer, static_cast<size_t>(length), flags); });
    if (received < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    return static_cast<int>(received);
}

int QvSocket::SendTo(const void* buffer, int length, const sockaddr* to, int toLength, int flags)
{
    if (length < 0 || toLength < 0) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    const ssize_t sent = ResumingInterrupted([&] {
        return ::sendto(m_socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL, to,
                        static_cast<socklen_t>(toLength));
    });
    if (sent < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    return static_cast<int>(sent);
}

int QvSocket::ReceiveFrom(void* buffer, int length, sockaddr* from, int* fromLength, int flags)
{
    if (m_datagram) {
        return ReceiveDatagram(buffer, length, from, fromLength, flags);
    }
    if (length < 0 || (fromLength != nullptr && *fromLength < 0)) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    socklen_t addressLength = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
    const ssize_t received = ResumingInterrupted([&] {
        return ::recvfrom(m_socket, buffer, static_cast<size_t>(length), flags,
                          fromLength != nullptr ? from : nullptr,
                          fromLength != nullptr ? &addressLength : nullptr);
    });
    if (received < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    if (fromLength != nullptr) {
        *fromLength = static_cast<int>(addressLength);
    }
    return static_cast<int>(received);
}

int QvSocket::ReceiveDatagram(void* buffer, int length, sockaddr* from, int* fromLength, int flags)
{
    if (length < 0 || (fromLength != nullptr && *fromLength < 0)) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    socklen_t addressLength = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
    // MSG_TRUNC makes the kernel return the datagram's real length even when
    // only part of it fitted, which is how a cut datagram is recognised.
    const ssize_t received = ResumingInterrupted([&] {
        return ::recvfrom(m_socket, buffer, static_cast<size_t>(length), flags | MSG_TRUNC,
                          fromLength != nullptr ? from : nullptr,
                          fromLength != nullptr ? &addressLength : nullptr);
    });
    if (received < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    if (fromLength != nullptr) {
        *fromLength = static_cast<int>(addressLength);
    }
    if (received > static_cast<ssize_t>(length)) {
        return Fail(QV_SOCKET_ERROR, QV_EMSGSIZE);
    }
    return static_cast<int>(received);
}

int QvSocket::PeekDatagram(void* buffer, int length, sockaddr_in* from)
{
    if (length < 0) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    socklen_t addressLength = sizeof(sockaddr_in);
    const ssize_t received = ResumingInterrupted([&] {
        return ::recvfrom(m_socket, buffer, static_cast<size_t>(length),
                          MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from),
                          from != nullptr ? &addressLength : nullptr);
    });
    if (received < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    return static_cast<int>(received);
}

void QvSocket::DiscardDatagram()
{
    (void)ResumingInterrupted([&] { return ::recv(m_socket, nullptr, 0, MSG_DONTWAIT); });
}

int QvSocket::ReceiveBatch(std::span<QvDatagramSlot> slots)
{
    return ReceiveBatchWith(slots, MSG_DONTWAIT);
}

int QvSocket::ReceiveBatch(std::span<QvDatagramSlot> slots, int timeoutMs)
{
    if (timeoutMs == 0 || slots.empty()) {
        return ReceiveBatchWith(slots, MSG_DONTWAIT);
    }
    if (m_nonBlocking) {
        const int ready = WaitReadable(timeoutMs);
        if (ready <= 0) {
            return ready == 0 ? Fail(QV_SOCKET_ERROR, EAGAIN) : ready;
        }
        return ReceiveBatchWith(slots, MSG_DONTWAIT);
    }
    if (SetReceiveTimeout(timeoutMs < 0 ? kWaitForever : timeoutMs) == 0) {
        return QV_SOCKET_ERROR;
    }
    // Blocks for the first datagram only (up to the receive timeout), then
    // takes what else waits.
    return ReceiveBatchWith(slots, MSG_WAITFORONE);
}

int QvSocket::SetReceiveTimeout(int timeoutMs)
{
    if (timeoutMs == m_receiveTimeoutMs) {
        return 1;
    }
    // A zero time value means no limit.
    timeval limit{};
    if (timeoutMs > 0) {
        limit.tv_sec = timeoutMs / 1000;
        limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
    }
    if (::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0) {
        m_receiveTimeoutMs = kReceiveTimeoutUnknown;
        return Fail(0);
    }
    m_receiveTimeoutMs = timeoutMs;
    return 1;
}

int QvSocket::ReceiveBatchWith(std::span<QvDatagramSlot> slots, int flags)
{
    const std::size_t count = std::min(slots.size(), kMaxBatch);
    if (count == 0) {
        return 0;
    }
    if (m_receiveShut.load()) {
        return Fail(QV_SOCKET_ERROR, ESHUTDOWN);
    }
    std::array<mmsghdr, kMaxBatch> messages{};
    std::array<iovec, kMaxBatch> vectors{};
    // Room for the drop count's control message of each datagram.
    union DropControl {
        char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
        cmsghdr align;
    };
    std::array<DropControl, kMaxBatch> controls;
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i].capacity < 0) {
            return Fail(QV_SOCKET_ERROR, EINVAL);
        }
        vectors[i].iov_base = slots[i].buffer;
        vectors[i].iov_len = static_cast<std::size_t>(slots[i].capacity);
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &slots[i].from;
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        if (m_dropCount) {
            messages[i].msg_hdr.msg_control = controls[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof(controls[i].bytes);
        }
    }
    const int received = ResumingInterrupted([&] {
        return ::recvmmsg(m_socket, messages.data(), static_cast<unsigned>(count), flags, nullptr);
    });
    if (received < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    if (m_receiveShut.load()) {
        // Woken by ShutdownReceive: what came with the wake-up is no datagram.
        return Fail(QV_SOCKET_ERROR, ESHUTDOWN);
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
        QvDatagramSlot& slot = slots[i];
        // A datagram cut to its room is reported as too long, as a single
        // receive reports it.
        if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
            slot.length = QV_SOCKET_ERROR;
            slot.error = QV_EMSGSIZE;
        } else {
            slot.length = static_cast<int>(messages[i].msg_len);
            slot.error = 0;
        }
        // The kernel sends the count only once it is not 0.
        slot.drops = 0;
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* control = m_dropCount ? CMSG_FIRSTHDR(&header) : nullptr; control != nullptr;
             control = CMSG_NXTHDR(&header, control)) {
            if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SO_RXQ_OVFL &&
                control->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
                std::memcpy(&slot.drops, CMSG_DATA(control), sizeof(slot.drops));
            }
        }
    }
    return received;
}

int QvSocket::ReadyToReceive()
{
    if (m_socket == QV_INVALID_SOCKET) {
        return 0;
    }
    // FIONREAD would report the size of the next datagram, which is 0 for an
    // empty one: a wait tells "something is waiting" apart from "nothing is".
    const int ready = WaitReadable(0);
    return ready == QV_SOCKET_ERROR ? 0 : ready;
}

int QvSocket::WaitReadable(int timeoutMs)
{
    QvSocket* const self[] = {this};
    bool ready[] = {false};
    const int result = WaitReadable(self, ready, timeoutMs);
    return result == QV_SOCKET_ERROR ? result : (ready[0] ? 1 : 0);
}

int QvSocket::WaitReadable(std::span<QvSocket* const> sockets, std::span<bool> ready, int timeoutMs)
{
    if (ready.size() < sockets.size()) {
        return Fail(QV_SOCKET_ERROR, EINVAL);
    }
    std::fill(ready.begin(), ready.end(), false);
    // The common case (a few sockets) needs no allocation.
    constexpr std::size_t kOnStack = 8;
    std::array<pollfd, kOnStack> local{};
    std::vector<pollfd> many;
    pollfd* entries = local.data();
    if (sockets.size() > kOnStack) {
        many.resize(sockets.size());
        entries = many.data();
    }
    bool anyOpen = false;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        // poll skips negative descriptors.
        entries[i].fd = sockets[i] != nullptr ? sockets[i]->m_socket : QV_INVALID_SOCKET;
        entries[i].events = POLLIN;
        entries[i].revents = 0;
        anyOpen = anyOpen || entries[i].fd != QV_INVALID_SOCKET;
    }
    if (!anyOpen) {
        return Fail(QV_SOCKET_ERROR, EBADF);
    }
    const int polled =
        PollResuming(entries, static_cast<nfds_t>(sockets.size()), timeoutMs < 0 ? -1 : timeoutMs);
    if (polled < 0) {
        return Fail(QV_SOCKET_ERROR);
    }
    int readyCount = 0;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if ((entries[i].revents & POLLNVAL) != 0) {
            // A descriptor closed behind the object's back.
            std::fill(ready.begin(), ready.end(), false);
            return Fail(QV_SOCKET_ERROR, EBADF);
        }
        if ((entries[i].revents & kReadableEvents) != 0) {
            ready[i] = true;
            ++readyCount;
        }
    }
    return readyCount;
}

int QvSocket::JoinGroup(unsigned long group, unsigned long interfaceAddress)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = static_cast<in_addr_t>(group);
    request.imr_interface.s_addr = static_cast<in_addr_t>(interfaceAddress);
    if (SetSockOpt(IP_ADD_MEMBERSHIP, &request, sizeof(request), IPPROTO_IP) == 0) {
        return 0;
    }
    const int deliverAll = 0;
    return SetSockOpt(IP_MULTICAST_ALL, &deliverAll, sizeof(deliverAll), IPPROTO_IP);
}

void QvSocket::Close()
{
    CloseHandle();
}

void QvSocket::CloseHandle()
{
    if (m_socket != QV_INVALID_SOCKET) {
        ::close(m_socket);
        m_socket = QV_INVALID_SOCKET;
    }
}
