#include "core/net/qvudpcaster.h"

#include "core/settings/qvexception.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr unsigned int kDefaultPort = 2010;
constexpr const char* kDefaultAddress = "225.1.1.1";
constexpr unsigned int kMaxPort = 65535;

struct Scope
{
    const char* word;
    int ttl;
};

constexpr Scope kScopes[] = {
    {"HOST", 0},        {"SUBNET", 1}, {"SITE", 32},          {"REGION", 64},
    {"CONTINENT", 128}, {"ALL", 255},  {"UNRESTRICTED", 255},
};

std::optional<int> LookUpScope(const UtCString& scope)
{
    const UtCString word = toUpper(scope);
    for (const Scope& entry : kScopes) {
        if (word == entry.word) {
            return entry.ttl;
        }
    }
    return std::nullopt;
}

// Dotted text (or the shorter forms inet_addr accepts) to a network-order
// address; nothing when the text is not an address. Unlike inet_addr this
// tells a mistyped address apart from 255.255.255.255.
std::optional<unsigned long> ParseAddress(const UtCString& text)
{
    in_addr address{};
    if (inet_aton(text.chars(), &address) == 0) {
        return std::nullopt;
    }
    return address.s_addr;
}

} // namespace

QvUdpCaster::QvUdpCaster() : m_port(kDefaultPort), m_address(inet_addr(kDefaultAddress))
{
    SetAddress(m_address, m_port);
}

QvUdpCaster::~QvUdpCaster()
{
    if (m_started) {
        Stop();
    }
}

void QvUdpCaster::SetAddress(unsigned long address, unsigned int port)
{
    m_address = address;
    m_port = port;
    m_destination = sockaddr_in{};
    m_destination.sin_family = AF_INET;
    // An out-of-range port is refused by Start before anything is sent.
    m_destination.sin_port = htons(static_cast<std::uint16_t>(port));
    m_destination.sin_addr.s_addr = static_cast<in_addr_t>(address);
}

int QvUdpCaster::DecodeTTL(UtCString scope)
{
    return LookUpScope(scope).value_or(64);
}

void QvUdpCaster::ReadSendSettings(unsigned int& port, unsigned long& address)
{
    const QvPropertyList& list = *m_propertyList;
    if (list.PropertyDefined("SendAddress")) {
        const std::optional<unsigned long> parsed = ParseAddress(list.GetProperty("SendAddress"));
        if (!parsed) {
            FailStart(__LINE__, "Invalid SendAddress.", EINVAL);
        }
        address = *parsed;
    }
    if (list.PropertyDefined("SendPort")) {
        // Negative values become large and fail the range check in Start.
        port = static_cast<unsigned int>(list.GetIntProperty("SendPort"));
    }
    if (list.PropertyDefined("SendLocalPort")) {
        m_localPort = static_cast<unsigned int>(list.GetIntProperty("SendLocalPort"));
    }
    if (list.PropertyDefined("SendInterface")) {
        const UtCString text = list.GetProperty("SendInterface");
        m_interface = toUpper(text) == "ANY" ? 0 : inet_addr(text.chars());
    }
    if (list.PropertyDefined("SendTTL")) {
        m_ttl = list.GetIntProperty("SendTTL");
    } else if (list.PropertyDefined("SendScope")) {
        m_ttl = LookUpScope(list.GetProperty("SendScope")).value_or(m_ttl);
    }
}

void QvUdpCaster::FailStart(int line, const char* message, int code)
{
    // The caster is not started, so nothing else would close the socket.
    Close();
    throw QvException(__FILE__, line, message, code);
}

int QvUdpCaster::Start()
{
    if (m_started) {
        Stop();
    }
    if (GetStartupError() != 0) {
        return -1;
    }

    unsigned int port = m_port;
    unsigned long address = m_address;
    if (m_propertyList != nullptr) {
        ReadSendSettings(port, address);
    }
    SetAddress(address, port);
    if (m_port == 0 || m_port > kMaxPort) {
        FailStart(__LINE__, "Destination port out of range.", EINVAL);
    }
    if (m_localPort > kMaxPort) {
        FailStart(__LINE__, "Local port out of range.", EINVAL);
    }

    const std::string bindText = QvDottedAddress(static_cast<std::uint32_t>(m_interface));
    if (Create(m_localPort, SOCK_DGRAM, 0, bindText.c_str()) == 0) {
        FailStart(__LINE__, "Create() socket failed.", GetLastError());
    }

    if (m_bufferSize != 0) {
        const int size = m_bufferSize > INT_MAX ? INT_MAX : static_cast<int>(m_bufferSize);
        if (SetSockOpt(SO_SNDBUF, &size, sizeof(size), SOL_SOCKET) == 0) {
            FailStart(__LINE__, "SetSockOpt() SNDBUF failed.", GetLastError());
        }
    }
    const int broadcast = 1;
    if (SetSockOpt(SO_BROADCAST, &broadcast, sizeof(broadcast), SOL_SOCKET) == 0) {
        FailStart(__LINE__, "SetSockOpt() SO_BROADCAST failed.", GetLastError());
    }
    if (SetSockOpt(IP_MULTICAST_TTL, &m_ttl, sizeof(m_ttl), IPPROTO_IP) == 0) {
        FailStart(__LINE__, "SetSockOpt() IP_MULTICAST_TTL failed.", GetLastError());
    }
    // Linux picks the outgoing multicast interface by route, whatever the
    // socket is bound to, so a chosen interface is named explicitly.
    const in_addr multicastInterface{static_cast<in_addr_t>(m_interface)};
    if (m_interface != 0 && SetSockOpt(IP_MULTICAST_IF, &multicastInterface,
                                       sizeof(multicastInterface), IPPROTO_IP) == 0) {
        FailStart(__LINE__, "SetSockOpt() IP_MULTICAST_IF failed.", GetLastError());
    }

    if (m_interface == 0) {
        // The socket stays bound to any address; the host's first address
        // only answers GetInterface (and binds the next Start).
        const std::vector<std::uint32_t> hostAddresses = QvHostAddresses();
        if (hostAddresses.empty()) {
            FailStart(__LINE__, "gethostbyname() failed.", ENODEV);
        }
        m_interface = hostAddresses.front();
    }

    m_started = true;
    return 0;
}

int QvUdpCaster::Stop()
{
    if (m_started) {
        Close();
        m_started = false;
    }
    return 0;
}

int QvUdpCaster::Send(const void* buffer, int length, int flags)
{
    if (!m_started) {
        return -1;
    }
    const int result = SendTo(buffer, length, reinterpret_cast<const sockaddr*>(&m_destination),
                              sizeof(m_destination), flags);
    if (result == QV_SOCKET_ERROR) {
        QvErrorMsg(false, "UdpCaster::Send failed: %d", GetLastError());
    }
    return result;
}
