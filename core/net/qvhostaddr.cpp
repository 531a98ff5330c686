#include "core/net/qvhostaddr.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

std::atomic<QvHostAddressProvider> g_provider{nullptr};

bool IsLoopback(const ifaddrs& entry, std::uint32_t address)
{
    return (entry.ifa_flags & IFF_LOOPBACK) != 0 || (ntohl(address) >> 24) == 127;
}

} // namespace

std::vector<std::uint32_t> QvSystemHostAddresses()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    std::vector<std::uint32_t> addresses;
    std::vector<std::uint32_t> loopback;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        // An AF_INET entry holds a whole sockaddr_in; copy it out rather
        // than cast the sockaddr pointer.
        sockaddr_in inet{};
        std::memcpy(&inet, entry->ifa_addr, sizeof(inet));
        const std::uint32_t address = inet.sin_addr.s_addr;
        (IsLoopback(*entry, address) ? loopback : addresses).push_back(address);
    }
    freeifaddrs(list);
    return addresses.empty() ? loopback : addresses;
}

std::vector<std::uint32_t> QvHostAddresses()
{
    const QvHostAddressProvider provider = g_provider.load();
    return provider != nullptr ? provider() : QvSystemHostAddresses();
}

QvHostAddressProvider QvSetHostAddressProvider(QvHostAddressProvider provider)
{
    return g_provider.exchange(provider);
}

std::string QvDottedAddress(std::uint32_t address)
{
    in_addr value{};
    value.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof(text));
    return text;
}
