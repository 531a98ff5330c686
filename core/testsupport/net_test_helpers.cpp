#include "core/testsupport/net_test_helpers.h"

#include "core/settings/qvlog.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>

namespace nettest {

namespace {

std::mutex g_fakeLock;
std::vector<std::uint32_t> g_fakeAddresses;

std::vector<std::uint32_t> FakeAddresses()
{
    std::lock_guard lock(g_fakeLock);
    return g_fakeAddresses;
}

} // namespace

std::uint32_t Ipv4(const char* dotted)
{
    in_addr address{};
    if (inet_pton(AF_INET, dotted, &address) != 1) {
        throw std::invalid_argument(dotted);
    }
    return address.s_addr;
}

std::string Dotted(std::uint32_t address)
{
    return QvDottedAddress(address);
}

std::size_t OpenFdCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

sockaddr_in BoundAddress(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

int IntOption(int fd, int level, int option)
{
    int value = -12345;
    socklen_t length = sizeof(value);
    if (getsockopt(fd, level, option, &value, &length) != 0) {
        return -12345;
    }
    return value;
}

ScopedHostAddresses::ScopedHostAddresses(std::vector<std::uint32_t> addresses)
{
    Set(std::move(addresses));
    m_previous = QvSetHostAddressProvider(&FakeAddresses);
}

ScopedHostAddresses::~ScopedHostAddresses()
{
    QvSetHostAddressProvider(m_previous);
}

void ScopedHostAddresses::Set(std::vector<std::uint32_t> addresses)
{
    std::lock_guard lock(g_fakeLock);
    g_fakeAddresses = std::move(addresses);
}

} // namespace nettest
