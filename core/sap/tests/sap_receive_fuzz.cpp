// Feeds arbitrary bytes to the SAP listener's receive rules, without a socket:
// as a datagram on its own, behind a valid header, and behind a valid header
// and the SDP payload type. Checks what must hold for every input: an
// accepted datagram has a readable header and a non-empty text that fits its
// area and has no "\r\n" left, a refused one reaches no hook, and at most one
// hook runs per datagram.
#include "core/sap/qvsap.h"
#include "core/sap/qvsappacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

QvSAPListenOptions OptionsFor(std::uint8_t selector)
{
    switch (selector % 3) {
    case 1:
        return QvSAPListenOptions::ChannelList();
    case 2:
        return QvSAPListenOptions::Monitor();
    default:
        return QvSAPListenOptions::Standard(false);
    }
}

// A listener that is never started; it only counts and reads what reaches
// its hooks.
class CountingListener : public QvSAPListen
{
public:
    explicit CountingListener(const QvSAPListenOptions& options) : QvSAPListen(options) {}

    int Feed(const std::string& datagram)
    {
        m_hooks = 0;
        HandleDatagram(datagram.data(), datagram.size());
        return m_hooks;
    }

protected:
    void OnAnnouncement(QvSAPPacket* packet) override { Check(packet); }
    void OnDeletion(QvSAPPacket* packet) override { Check(packet); }

private:
    void Check(QvSAPPacket* packet)
    {
        ++m_hooks;
        Require(QvSAPPacket::ValidateSession(packet));
        const std::size_t area = static_cast<std::size_t>(packet->GetPayloadSize());
        const std::size_t length = strnlen(packet->GetPayload(), area);
        Require(length > 0 && length < area);
        Require(std::strstr(packet->GetPayload(), "\r\n") == nullptr);
        (void)QvSAPListen::FindOriginLine(packet->GetPayload());
        (void)packet->GetPropA("Address");
        (void)packet->GetPropA("SesSesName");
    }

    int m_hooks = 0;
};

void FeedOne(CountingListener& listener, const QvSAPPacketOptions& packetOptions,
             const std::string& datagram)
{
    QvSAPPacket packet(packetOptions);
    const bool accepted = QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet);
    Require(listener.Feed(datagram) == (accepted ? 1 : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::uint8_t selector = size > 0 ? data[0] : 0;
    const QvSAPListenOptions options = OptionsFor(selector);
    CountingListener listener(options);
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    FeedOne(listener, options.packet, bytes);

    // Behind a header that passes the header checks, with the input's first
    // byte as the message type and reserved bits.
    std::string header("\x20\x00\x12\x34\x7f\x00\x00\x01", 8);
    header[0] = static_cast<char>(0x20 | (selector & 0x0c));
    FeedOne(listener, options.packet, header + bytes);
    FeedOne(listener, options.packet, header + std::string("application/sdp\0", 16) + bytes);

    Require(QvSAPListen::FindOriginLine(bytes.c_str()).length() <= bytes.size());
    return 0;
}
