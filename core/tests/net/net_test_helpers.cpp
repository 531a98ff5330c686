#include "net_test_helpers.h"

#include "core/qvlog.h"

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
    in_addr value{};
    value.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof(text));
    return text;
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

DebugLogCapture::DebugLogCapture()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qvnet-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_dir = pattern;
    m_file = m_dir / "debug.log";
    QvSetDebugFile(m_file.c_str());
}

DebugLogCapture::~DebugLogCapture()
{
    QvCloseLogFiles();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string DebugLogCapture::Text() const
{
    std::ifstream in(m_file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace nettest
