// Small helpers shared by the socket-layer tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "core/net/qvhostaddr.h"
#include "core/testsupport/debuglog_capture.h"

namespace nettest {

// A dotted address in network byte order.
std::uint32_t Ipv4(const char* dotted);
// Dotted text of a network-order address.
std::string Dotted(std::uint32_t address);

// Descriptors open in this process.
std::size_t OpenFdCount();

// The address and port a descriptor is bound to.
sockaddr_in BoundAddress(int fd);
// An int socket option read back with getsockopt.
int IntOption(int fd, int level, int option);

// Makes QvHostAddresses return the given list while it lives.
class ScopedHostAddresses
{
public:
    explicit ScopedHostAddresses(std::vector<std::uint32_t> addresses);
    ~ScopedHostAddresses();
    ScopedHostAddresses(const ScopedHostAddresses&) = delete;
    ScopedHostAddresses& operator=(const ScopedHostAddresses&) = delete;

    // Changes the list the provider returns.
    void Set(std::vector<std::uint32_t> addresses);

private:
    QvHostAddressProvider m_previous;
};

// Captures the debug log while it lives (shared with the other core tests).
using DebugLogCapture = coretest::DebugLogCapture;

} // namespace nettest
