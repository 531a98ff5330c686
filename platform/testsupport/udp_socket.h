// A small UDP socket for tests that play the sender or the receiver of the
// code under test. Set-up errors throw std::system_error (or
// std::invalid_argument for a malformed address) so that a test fails with
// the reason.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvtest {

struct Datagram
{
    std::string payload; // raw bytes
    std::string sourceAddress;
    std::uint16_t sourcePort = 0;
};

class UdpSocket
{
public:
    // Binds to address:port; port 0 picks an ephemeral port, "0.0.0.0" means
    // every local address. SO_REUSEADDR is set first, so several sockets may
    // bind the same port to receive the same group on different interfaces.
    explicit UdpSocket(const std::string& address = "0.0.0.0", std::uint16_t port = 0);
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int Fd() const { return m_fd; }
    std::uint16_t LocalPort() const;
    std::string LocalAddress() const;

    // Joins `group` on the interface with the given address ("0.0.0.0" lets
    // the routing table choose, which in a test namespace is loopback).
    void JoinGroup(const std::string& group, const std::string& interfaceAddress = "0.0.0.0");
    void LeaveGroup(const std::string& group, const std::string& interfaceAddress = "0.0.0.0");
    // Linux hands a multicast datagram to every socket bound to its port as
    // soon as any socket joined the group on the arriving interface. false
    // limits this socket to the groups and interfaces it joined itself.
    void SetMulticastAll(bool on);
    void SetMulticastInterface(const std::string& interfaceAddress);
    void SetMulticastTtl(int ttl);
    void SetMulticastLoop(bool on);
    void SetReceiveBufferSize(int bytes);

    // Sends one datagram; false when the kernel refused it.
    bool SendTo(const std::string& address, std::uint16_t port, const void* data,
                std::size_t length);
    bool SendTo(const std::string& address, std::uint16_t port, std::string_view payload)
    {
        return SendTo(address, port, payload.data(), payload.size());
    }

    // The next datagram, or nothing when none arrives within the timeout.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout);
    // Every datagram that arrives until none has come for `quiet`.
    std::vector<Datagram> ReceiveUntilQuiet(std::chrono::milliseconds quiet);

private:
    void SetOption(int level, int option, const void* value, std::size_t length, const char* what);
    void Close();

    int m_fd = -1;
};

} // namespace qvtest
