#include "core/sap/qvsap.h"

#include "core/settings/qvlog.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kHeaderSize = QvSAPPacketOptions::headerSize;

// Bit 4 of the first header byte: the origin is an IPv6 address (16 bytes in
// place of 4). This system has IPv4 origins only.
constexpr unsigned char kIpv6OriginBit = 0x10;
// Within the three message-type bits, the middle one is reserved and must be
// ignored by receivers.
constexpr unsigned long kReservedTypeBit = 0x2;
constexpr unsigned long kAnnouncementType = 0;
constexpr unsigned long kDeletionType = 1;

constexpr std::string_view kSdpPayloadType = "application/sdp";

// How long the receive loop waits on its socket before it looks at its run
// flag again.
constexpr int kWaitStepMs = 10;
// Datagrams handled in a row before the run flag is looked at again.
constexpr int kBurst = 256;

// An SDP text opens with a line such as "v=0" or, for a bare deletion, "o=...":
// a lower-case type letter and '='. A payload type never looks like that.
bool OpensWithSdpLine(std::string_view payload)
{
    return payload.size() >= 2 && payload[0] >= 'a' && payload[0] <= 'z' && payload[1] == '=';
}

// The text up to its first NUL, or all of it.
std::string_view UpToNul(std::string_view text)
{
    const std::size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// The SDP text of a payload, or nothing when the payload carries something
// else. Without a payload type the payload itself is the text; with one, the
// type ends at a NUL and only SDP is read.
std::optional<std::string_view> SdpTextOf(std::string_view payload)
{
    if (OpensWithSdpLine(payload)) {
        return UpToNul(payload);
    }
    const std::size_t nul = payload.find('\0');
    if (nul == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view type = payload.substr(0, nul);
    if (type.size() != kSdpPayloadType.size() ||
        strncasecmp(type.data(), kSdpPayloadType.data(), type.size()) != 0) {
        return std::nullopt;
    }
    return UpToNul(payload.substr(nul + 1));
}

// The text with the carriage returns in front of each line feed removed: the
// SDP reader of this system splits at line feeds only, and a carriage return
// left in place would end up in the last value of each line.
std::string WithLineFeeds(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (c == '\n') {
            while (!result.empty() && result.back() == '\r') {
                result.pop_back();
            }
        }
        result.push_back(c);
    }
    return result;
}

} // namespace

// ---- QvSAPCaster --------------------------------------------------------------------

QvSAPCaster::QvSAPCaster()
{
    SetAddress(inet_addr(defaultGroup), defaultPort);
    SetBufferSize(0);
}

QvSAPCaster::~QvSAPCaster() = default;

int QvSAPCaster::Send(QvSAPPacket* packet)
{
    if (packet == nullptr) {
        return -1;
    }
    // OutBuffer rebuilds a parsed packet's text before handing the buffer out.
    const char* buffer = packet->OutBuffer();
    std::string datagram(buffer, kHeaderSize);
    datagram.append(payloadType, sizeof(payloadType));
    datagram.append(buffer + kHeaderSize,
                    static_cast<std::size_t>(packet->GetDatagramLength()) - kHeaderSize);
    return QvUdpCaster::Send(datagram.data(), static_cast<int>(datagram.size()), 0);
}

// ---- QvSAPListen --------------------------------------------------------------------

QvSAPListen::QvSAPListen(bool threaded) : QvSAPListen(QvSAPListenOptions::Standard(threaded)) {}

QvSAPListen::QvSAPListen(const QvSAPListenOptions& options) : QvThread(true), m_options(options)
{
    SetAddress(inet_addr(m_options.group), m_options.port);
    if (m_options.receiveBuffer > 0) {
        SetBufferSize(static_cast<unsigned long>(m_options.receiveBuffer));
    }
}

QvSAPListen::~QvSAPListen()
{
    Stop();
    JoinThread();
}

int QvSAPListen::Start()
{
    if (OnWorkerThread()) {
        // The loop cannot restart itself: Stop would have to wait for it.
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_control);
    StopLocked();
    if (QvUdpReader::Start() != 0) {
        return -2;
    }
    WidenReceiveBuffer();
    if (m_options.threaded && StartThread() == 0) {
        QvUdpReader::Stop();
        return -1;
    }
    m_started.store(true, std::memory_order_release);
    return 0;
}

int QvSAPListen::Stop()
{
    if (OnWorkerThread()) {
        // A hook cannot wait for the loop it runs in; the loop ends when the
        // hook returns, and the owner's Stop closes the reader.
        StopThreadNoWait();
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_control);
    StopLocked();
    return 0;
}

void QvSAPListen::StopLocked()
{
    if (!m_started.load(std::memory_order_acquire)) {
        return;
    }
    if (m_options.threaded) {
        // Waits until ProcessThread has returned, so no receive runs on the
        // socket closed below.
        StopThread();
    }
    QvUdpReader::Stop();
    m_started.store(false, std::memory_order_release);
}

bool QvSAPListen::OnWorkerThread() const
{
    return m_workerId.load(std::memory_order_acquire) == std::this_thread::get_id();
}

bool QvSAPListen::Worker()
{
    if (!IsReady()) {
        return false;
    }
    OnDataReceived(this);
    return true;
}

void QvSAPListen::WidenReceiveBuffer()
{
    const int wanted = m_options.receiveBuffer;
    int granted = 0;
    socklen_t length = sizeof(granted);
    if (wanted <= 0 || ::getsockopt(GetHandle(), SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) {
        return;
    }
    // The kernel reports twice the size asked for; below that, the system's
    // limit cut the request. Only a privileged process may pass it.
    if (granted / 2 < wanted) {
        (void)::setsockopt(GetHandle(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof(wanted));
    }
}

bool QvSAPListen::WaitForDatagram(int milliseconds)
{
    return WaitReadable(milliseconds) == 1;
}

void QvSAPListen::ProcessThread()
{
    m_workerId.store(std::this_thread::get_id(), std::memory_order_release);
    while (IsThreadRunning()) {
        if (!WaitForDatagram(kWaitStepMs)) {
            continue;
        }
        for (int handled = 0; handled < kBurst && IsThreadRunning() && Worker(); ++handled) {
        }
    }
    m_workerId.store(std::thread::id(), std::memory_order_release);
}

void QvSAPListen::OnDataReceived(QvUdpReader* reader)
{
    QvUdpReader* source = reader != nullptr ? reader : this;
    std::array<char, receiveLimit> buffer;
    sockaddr_in from{};
    int fromLength = sizeof(from);
    // The sender's address goes with the datagram: a deletion counts only
    // from the host that made the announcement.
    const int received = source->ReceiveDatagram(
        buffer.data(), receiveLimit, reinterpret_cast<sockaddr*>(&from), &fromLength, MSG_DONTWAIT);
    if (received == -1) {
        const int error = QvSocket::GetLastError();
        if (error != EAGAIN && error != EWOULDBLOCK) {
            QvDebugMsg("SAP Receive() failed: %d", error);
        }
        return;
    }
    if (received <= 0) {
        return;
    }
    HandleDatagram(buffer.data(), static_cast<std::size_t>(received), &from);
}

void QvSAPListen::HandleDatagram(const void* data, std::size_t length, const sockaddr_in* source)
{
    m_datagramSource = source != nullptr ? *source : sockaddr_in{};
    QvSAPPacket packet(m_options.packet);
    if (DecodeDatagram(data, length, packet)) {
        OnSAPReceive(&packet);
    }
    m_datagramSource = sockaddr_in{};
}

void QvSAPListen::OnSAPReceive(QvSAPPacket* packet)
{
    if (packet == nullptr) {
        return;
    }
    const unsigned long type = packet->GetMT() & ~kReservedTypeBit;
    if (type == kAnnouncementType) {
        OnAnnouncement(packet);
    } else if (type == kDeletionType) {
        OnDeletion(packet);
    }
}

void QvSAPListen::OnDeletion(QvSAPPacket*) {}

void QvSAPListen::OnAnnouncement(QvSAPPacket*) {}

bool QvSAPListen::DecodeDatagram(const void* data, std::size_t length, QvSAPPacket& packet)
{
    if (data == nullptr || length < kHeaderSize) {
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    SAPPacket header;
    std::memcpy(&header, bytes, kHeaderSize);
    // Encrypted or compressed payloads and authentication data cannot be read.
    if (!QvSAPPacket::ValidateSession(&header) || (header.flags & kIpv6OriginBit) != 0) {
        return false;
    }
    const std::optional<std::string_view> sdp =
        SdpTextOf(std::string_view(bytes + kHeaderSize, length - kHeaderSize));
    if (!sdp) {
        return false;
    }
    const std::string text = WithLineFeeds(*sdp);
    // An empty text describes nothing; one that does not fit would be cut
    // into a different session description.
    if (text.empty() || text.size() >= static_cast<std::size_t>(packet.GetPayloadSize())) {
        return false;
    }
    std::memcpy(packet.InBuffer(), &header, kHeaderSize);
    packet.SetSdpText(text.c_str());
    return true;
}

UtCString QvSAPListen::FindOriginLine(const char* text)
{
    if (text == nullptr) {
        return UtCString();
    }
    const std::string_view all(text);
    std::size_t start = 0;
    if (all.starts_with("o=")) {
        start = 2;
    } else {
        const std::size_t line = all.find("\no=");
        if (line == std::string_view::npos) {
            return UtCString();
        }
        start = line + 3;
    }
    std::string_view value = all.substr(start);
    value = value.substr(0, value.find('\n'));
    if (value.ends_with('\r')) {
        value.remove_suffix(1);
    }
    return UtCString(value.data(), static_cast<std::uint32_t>(value.size()));
}
