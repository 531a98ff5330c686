#include "platform/testsupport/udp_socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace qvtest {

namespace {

in_addr ParseAddress(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw std::invalid_argument("not a dotted IPv4 address: '" + text + "'");
    }
    return address;
}

sockaddr_in MakeEndpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr = ParseAddress(address);
    return endpoint;
}

std::string FormatAddress(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

ip_mreq MakeMembership(const std::string& group, const std::string& interfaceAddress)
{
    ip_mreq request{};
    request.imr_multiaddr = ParseAddress(group);
    request.imr_interface = ParseAddress(interfaceAddress);
    return request;
}

} // namespace

UdpSocket::UdpSocket(const std::string& address, std::uint16_t port)
{
    const sockaddr_in local = MakeEndpoint(address, port);
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        ThrowErrno("socket");
    }
    try {
        const int on = 1;
        SetOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "SO_REUSEADDR");
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            ThrowErrno("bind " + address + ":" + std::to_string(port));
        }
    } catch (...) {
        Close();
        throw;
    }
}

UdpSocket::~UdpSocket()
{
    Close();
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void UdpSocket::Close()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

std::uint16_t UdpSocket::LocalPort() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ThrowErrno("getsockname");
    }
    return ntohs(local.sin_port);
}

std::string UdpSocket::LocalAddress() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ThrowErrno("getsockname");
    }
    return FormatAddress(local.sin_addr);
}

void UdpSocket::SetOption(int level, int option, const void* value, std::size_t length,
                          const char* what)
{
    if (setsockopt(m_fd, level, option, value, static_cast<socklen_t>(length)) != 0) {
        ThrowErrno(std::string("setsockopt ") + what);
    }
}

void UdpSocket::JoinGroup(const std::string& group, const std::string& interfaceAddress)
{
    const ip_mreq request = MakeMembership(group, interfaceAddress);
    SetOption(IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request,
              ("IP_ADD_MEMBERSHIP " + group + " on " + interfaceAddress).c_str());
}

void UdpSocket::LeaveGroup(const std::string& group, const std::string& interfaceAddress)
{
    const ip_mreq request = MakeMembership(group, interfaceAddress);
    SetOption(IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request,
              ("IP_DROP_MEMBERSHIP " + group + " on " + interfaceAddress).c_str());
}

void UdpSocket::SetMulticastAll(bool on)
{
    const int value = on ? 1 : 0;
    SetOption(IPPROTO_IP, IP_MULTICAST_ALL, &value, sizeof value, "IP_MULTICAST_ALL");
}

void UdpSocket::SetMulticastInterface(const std::string& interfaceAddress)
{
    const in_addr address = ParseAddress(interfaceAddress);
    SetOption(IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address, "IP_MULTICAST_IF");
}

void UdpSocket::SetMulticastTtl(int ttl)
{
    SetOption(IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, "IP_MULTICAST_TTL");
}

void UdpSocket::SetMulticastLoop(bool on)
{
    const int value = on ? 1 : 0;
    SetOption(IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value, "IP_MULTICAST_LOOP");
}

void UdpSocket::SetReceiveBufferSize(int bytes)
{
    SetOption(SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes, "SO_RCVBUF");
}

bool UdpSocket::SendTo(const std::string& address, std::uint16_t port, const void* data,
                       std::size_t length)
{
    const sockaddr_in destination = MakeEndpoint(address, port);
    const ssize_t sent = sendto(
        m_fd, data, length, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    return sent >= 0 && static_cast<std::size_t>(sent) == length;
}

std::optional<Datagram> UdpSocket::Receive(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            ThrowErrno("poll");
        }
        if (ready == 0) {
            return std::nullopt;
        }

        // The largest UDP payload over IPv4.
        std::string buffer(65507, '\0');
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t got = recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            ThrowErrno("recvfrom");
        }
        buffer.resize(static_cast<std::size_t>(got));
        return Datagram{std::move(buffer), FormatAddress(source.sin_addr), ntohs(source.sin_port)};
    }
}

std::vector<Datagram> UdpSocket::ReceiveUntilQuiet(std::chrono::milliseconds quiet)
{
    std::vector<Datagram> all;
    while (auto datagram = Receive(quiet)) {
        all.push_back(std::move(*datagram));
    }
    return all;
}

} // namespace qvtest
