// Feeds arbitrary datagrams to every packet format: header check, header
// parse, control-packet test, sequence arithmetic and consuming. The packet
// reads from a buffer of exactly the datagram's size, so the sanitizers catch
// any read past it, and the payload must always lie inside what was received.
#include "core/packets/qvpacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::uint32_t WordAt(const std::uint8_t* data, std::size_t size, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | (at + i < size ? data[at + i] : 0u);
    }
    return v;
}

// Every payload byte is read, so an out-of-range payload shows up.
unsigned TouchPayload(const QvBasePacket& packet)
{
    unsigned sum = 0;
    const char* payload = packet.GetPayload();
    for (std::uint32_t i = 0; i < packet.GetPayloadLength(); ++i) {
        sum += static_cast<unsigned char>(payload[i]);
    }
    return sum;
}

void CheckInvariants(const QvBasePacket& packet)
{
    Require(packet.GetReceivedLength() <= packet.GetBufferSize());
    Require(std::uint64_t{packet.GetPayloadOffset()} + packet.GetPayloadLength() <=
            packet.GetBufferSize());
}

void Exercise(QvBasePacket& packet, QvBasePacket& previous, const std::uint8_t* data,
              std::size_t size)
{
    packet.Reset();
    CheckInvariants(packet);
    (void)packet.CheckHeader(nullptr);
    (void)packet.IsControlPacket();

    const bool wellFormed = packet.SetReceived(static_cast<std::uint32_t>(size));
    CheckInvariants(packet);
    // After SetReceived the payload lies inside the received bytes.
    Require(std::uint64_t{packet.GetPayloadOffset()} + packet.GetPayloadLength() <=
            packet.GetReceivedLength());
    if (!wellFormed) {
        Require(packet.GetPayloadLength() == 0);
        Require(packet.CheckHeader(nullptr) == 0 || dynamic_cast<QvRawPacket*>(&packet) != nullptr);
    }
    (void)packet.CheckHeader(nullptr);
    (void)packet.CheckHeader(&previous);
    (void)packet.IsControlPacket();
    (void)TouchPayload(packet);

    const std::uint32_t a = WordAt(data, size, 0);
    const std::uint32_t b = WordAt(data, size, 4);
    (void)packet.SequenceDistance(a, b);
    (void)packet.CompareSequence(a, b);
    (void)packet.GetSequence(b);
    const std::uint32_t next = packet.NextSequence();
    if (auto* qvs = dynamic_cast<QvQvsPacket*>(&packet)) {
        Require(qvs->PrevSequence() <= 0xFFFF);
    }
    if (auto* ovs = dynamic_cast<QvOvsPacket*>(&packet)) {
        Require(ovs->PrevSequence() <= 0xFFFF);
    }

    // Consume in uneven steps, then far too much.
    const std::uint32_t before = packet.GetPayloadLength();
    const std::uint32_t step = (a % 97) + 1;
    std::uint32_t used = packet.Consume(step);
    used += packet.Consume(0xFFFFFFFFu);
    Require(used == before);
    Require(packet.GetPayloadLength() == 0);
    Require(packet.NextSequence() == next);
    CheckInvariants(packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Datagrams are at most 64 KiB; longer inputs are cut.
    size = size > 65535 ? 65535 : size;
    const auto n = static_cast<std::uint32_t>(size);

    QvControlPacket control;
    if (QvParseControlPacket(data, size, control) && control.mpeg != nullptr) {
        Require(std::size_t{12} + control.mpegLength <= size);
        unsigned sum = 0;
        for (std::uint16_t i = 0; i < control.mpegLength; ++i) {
            sum += control.mpeg[i];
        }
        (void)sum;
    }

    // The packet's buffer is exactly the datagram: borrowed heap storage of
    // size bytes (at least one, so the pointer is valid).
    std::vector<char> buffer(size == 0 ? 1 : size);
    if (size != 0) {
        std::memcpy(buffer.data(), data, size);
    }
    std::vector<char> previousBuffer(buffer);

    std::unique_ptr<QvBasePacket> packets[] = {
        std::make_unique<QvRawPacket>(n, buffer.data()),
        std::make_unique<QvOpvPacket>(n, buffer.data()),
        std::make_unique<QvQvsPacket>(n, buffer.data()),
        std::make_unique<QvOvsPacket>(n, buffer.data()),
    };
    QvOpvPacket previous(n, previousBuffer.data());
    (void)previous.SetReceived(n);
    for (auto& packet : packets) {
        Exercise(*packet, previous, data, size);
    }

    // The same datagram in a larger owned buffer, as a receiver holds it.
    std::unique_ptr<QvBasePacket> roomy[] = {
        std::make_unique<QvOpvPacket>(2048),
        std::make_unique<QvQvsPacket>(2048),
        std::make_unique<QvOvsPacket>(2048),
    };
    for (auto& packet : roomy) {
        std::memcpy(packet->GetBuffer(), data, size < 2048 ? size : 2048);
        Exercise(*packet, previous, data, size);
    }
    return 0;
}
