#include "core/net/qvudpreader.h"

#include "core/settings/qvexception.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "core/settings/qvsdptext.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kDefaultPort = 2001;
constexpr unsigned int kMaxPort = 65535;

unsigned long DefaultGroup()
{
    return inet_addr("225.1.1.1");
}

// An address of 224.0.0.0 and above counts as a group: its first number has
// its three top bits set.
bool IsGroupAddress(unsigned long address)
{
    return (ntohl(static_cast<in_addr_t>(address)) >> 29) == 7;
}

// Only 224.0.0.0/4 can be bound as a group; the rest of the upper range is
// received on the wildcard address and refused by the join.
bool IsBindableGroup(unsigned long address)
{
    return IN_MULTICAST(ntohl(static_cast<in_addr_t>(address)));
}

} // namespace

QvUdpReader::QvUdpReader() : m_address(DefaultGroup()), m_port(kDefaultPort)
{
}

QvUdpReader::~QvUdpReader()
{
    if (m_started) {
        Stop();
    }
}

void QvUdpReader::SetAddress(unsigned long address, unsigned int port)
{
    m_address = address;
    m_port = port;
}

int QvUdpReader::Start()
{
    if (m_started) {
        Stop();
    }
    if (GetStartupError() != 0) {
        return -1;
    }
    if (m_propertyList != nullptr && !ReadSettings()) {
        return FailStart();
    }
    const bool unicast = IsUnicast();
    if (m_port == 0 || m_port > kMaxPort) {
        QvDebugMsg("Port %d out of range.", static_cast<int>(m_port));
        return FailStart();
    }
    if (m_interface != 0 && !CheckInterface()) {
        return FailStart();
    }
    if (!OpenSocket(unicast)) {
        return FailStart();
    }
    m_started = true;
    return 0;
}

bool QvUdpReader::ReadSettings()
{
    UtCString sdp;
    if (m_propertyList->FindProperty("SDP", sdp) && !ReadSdp(sdp)) {
        return false;
    }
    UtCString interfaceText;
    if (m_propertyList->FindProperty("Interface", interfaceText) &&
        interfaceText.compareTo("ANY", UtCString::ignoreCase) != 0) {
        m_interface = inet_addr(interfaceText.chars());
    }
    int port = 0;
    if (m_propertyList->FindProperty("Port", port)) {
        m_port = static_cast<unsigned int>(port);
        UtCString address;
        m_address = m_propertyList->FindProperty("Address", address) ? inet_addr(address.chars())
                                                                     : 0;
    }
    return true;
}

bool QvUdpReader::ReadSdp(const UtCString& sdp)
{
    // A text that does not fit an announcement would be parsed cut short, so
    // it is refused rather than read for a wrong group or port.
    const QvSdpEndpoint endpoint = QvReadSdpEndpoint(sdp);
    if (!endpoint.fits) {
        QvDebugMsg("SDP text too long: %u bytes, at most %d fit.", sdp.length(), endpoint.room);
        return false;
    }
    m_address = inet_addr(endpoint.address.chars());
    m_port = static_cast<unsigned int>(std::atoi(endpoint.port.chars()));
    return true;
}

bool QvUdpReader::IsUnicast() const
{
    bool unicast = !IsGroupAddress(m_address);
    bool forced = false;
    if (m_propertyList != nullptr && m_propertyList->FindProperty("Unicast", forced)) {
        unicast = forced;
    }
    return unicast;
}

bool QvUdpReader::CheckInterface() const
{
    const std::vector<std::uint32_t> hostAddresses = QvHostAddresses();
    if (hostAddresses.empty()) {
        QvDebugMsg("gethostbyname() failed: %d", ENODEV);
        return false;
    }
    if (std::find(hostAddresses.begin(), hostAddresses.end(), m_interface) == hostAddresses.end()) {
        QvDebugMsg("Local interface not available.");
        return false;
    }
    return true;
}

bool QvUdpReader::OpenSocket(bool unicast)
{
    // A group reader binds the group (Linux delivers no multicast to a socket
    // bound to a unicast address); the interface goes into the join instead.
    unsigned long bindAddress = m_interface;
    if (!unicast) {
        bindAddress = IsBindableGroup(m_address) ? m_address : INADDR_ANY;
    }
    int created = 0;
    try {
        created = Create(m_port, SOCK_DGRAM, 0, QvDottedAddress(static_cast<std::uint32_t>(bindAddress)).c_str());
    } catch (const QvException& error) {
        QvDebugMsg("Create() failed: %d", error.GetCode());
        return false;
    }
    if (created == 0) {
        QvDebugMsg("Create() failed: %d", GetLastError());
        return false;
    }

    if (m_bufferSize != 0) {
        // The option takes an int; a size beyond it cannot be asked for.
        const int size = m_bufferSize > INT_MAX ? 0 : static_cast<int>(m_bufferSize);
        const int set = size != 0 ? SetSockOpt(SO_RCVBUF, &size, sizeof(size), SOL_SOCKET)
                                  : Fail(0, EINVAL);
        if (set == 0) {
            QvDebugMsg("SetSockOpt() RCVBUF failed: %d", GetLastError());
            return false;
        }
    }

    if (!unicast && JoinGroup(m_address, m_interface) == 0) {
        QvDebugMsg("join multicast group failed: %d", GetLastError());
        return false;
    }
    return true;
}

int QvUdpReader::FailStart()
{
    Close();
    return 1;
}

int QvUdpReader::Stop()
{
    if (m_started) {
        Close();
        m_started = false;
    }
    return 0;
}

int QvUdpReader::Receive(void* buffer, int length)
{
    if (!m_started) {
        return -1;
    }
    const int received = QvSocket::Receive(buffer, length, 0);
    if (received == QV_SOCKET_ERROR) {
        QvDebugMsg("QvUdpReader::Receive error = %lu",
                   static_cast<unsigned long>(GetLastError()));
    }
    return received;
}

bool QvUdpReader::IsReady()
{
    if (!m_started) {
        return false;
    }
    // A wait rather than the count of waiting bytes: an empty datagram has
    // none, yet it is waiting and must be received to get past it.
    const int ready = WaitReadable(0);
    if (ready == QV_SOCKET_ERROR) {
        QvDebugMsg("IOCtl() FIONREAD failed: %d", GetLastError());
        return false;
    }
    return ready == 1;
}
