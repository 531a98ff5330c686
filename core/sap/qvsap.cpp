#include "core/sap/qvsap.h"

#include "core/settings/qvlog.h"

#include <arpa/inet.h>
#include <strings.h>

#include <array>
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

// How long the receive loop rests when nothing waits, and in what steps it
// looks at its run flag meanwhile.
constexpr auto kIdlePause = std::chrono::milliseconds(100);
constexpr auto kIdleStep = std::chrono::milliseconds(10);

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
    return QvUdpCaster::Send(buffer, packet->GetDatagramLength(), 0);
}

// ---- QvSAPListen --------------------------------------------------------------------

QvSAPListen::QvSAPListen(bool threaded) : QvSAPListen(QvSAPListenOptions::Standard(threaded)) {}

QvSAPListen::QvSAPListen(const QvSAPListenOptions& options) : QvThread(true), m_options(options)
{
    SetAddress(inet_addr(m_options.group), m_options.port);
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

void QvSAPListen::ProcessThread()
{
    m_workerId.store(std::this_thread::get_id(), std::memory_order_release);
    while (IsThreadRunning()) {
        if (Worker()) {
            continue;
        }
        for (auto rested = std::chrono::milliseconds(0); rested < kIdlePause && IsThreadRunning();
             rested += kIdleStep) {
            std::this_thread::sleep_for(kIdleStep);
        }
    }
    m_workerId.store(std::thread::id(), std::memory_order_release);
}

void QvSAPListen::OnDataReceived(QvUdpReader* reader)
{
    QvUdpReader* source = reader != nullptr ? reader : this;
    std::array<char, receiveLimit> buffer;
    const int received = source->Receive(buffer.data(), receiveLimit);
    if (received == -1) {
        QvDebugMsg("SAP Receive() failed: %d", QvSocket::GetLastError());
        return;
    }
    if (received <= 0) {
        return;
    }
    HandleDatagram(buffer.data(), static_cast<std::size_t>(received));
}

void QvSAPListen::HandleDatagram(const void* data, std::size_t length)
{
    QvSAPPacket packet(m_options.packet);
    if (DecodeDatagram(data, length, packet)) {
        OnSAPReceive(&packet);
    }
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
