// Drives the MPEG header analyser the way the stream receiver does, with
// datagrams assembled from the input: start codes, pack and system headers,
// sequence headers, group starts, transport sync bytes and raw bytes, in any
// packet format and block size, mixed with header packets (of any claimed
// length) and sequence gaps. Every packet must stay in exactly one place and
// every queued payload must lie inside its buffer; the sanitizers catch any
// access outside a buffer.
#include "core/receive/qvheadproc.h"
#include "core/packets/qvpacket.h"
#include "core/packets/qvpacketlist.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    std::uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }
    void Take(Bytes& out, std::size_t n)
    {
        for (std::size_t i = 0; i < n && !Done(); ++i) {
            out.push_back(Next());
        }
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

enum class Format {
    Opv,
    Qvs,
    Raw,
    Ovs,
};

void Put(Bytes& out, std::initializer_list<std::uint8_t> bytes)
{
    out.insert(out.end(), bytes);
}

Bytes BuildPayload(Input& in)
{
    Bytes out;
    const int tokens = in.Next() % 16;
    for (int t = 0; t < tokens; ++t) {
        switch (in.Next() % 10) {
        case 0: // MPEG-1 pack header with clock and mux bytes from the input
            Put(out, {0x00, 0x00, 0x01, 0xBA});
            in.Take(out, 8);
            break;
        case 1:
            Put(out, {0x00, 0x00, 0x01, 0xBA, 0x44});
            break;
        case 2:
            Put(out, {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C});
            break;
        case 3:
            Put(out, {0x00, 0x00, 0x01, 0xB3});
            break;
        case 4:
            Put(out, {0x00, 0x00, 0x01, 0xB8});
            break;
        case 5:
            Put(out, {0x00, 0x00, 0x01, 0xE0});
            break;
        case 6: // a transport packet
            out.push_back(0x47);
            out.resize(out.size() + 187, in.Next());
            break;
        default:
            in.Take(out, in.Next());
            break;
        }
    }
    return out;
}

Bytes Frame(Format format, std::uint32_t sequence, const Bytes& payload)
{
    Bytes out;
    const auto length = static_cast<std::uint32_t>(payload.size());
    switch (format) {
    case Format::Opv:
        Put(out,
            {static_cast<std::uint8_t>(sequence >> 24), static_cast<std::uint8_t>(sequence >> 16),
             static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence)});
        break;
    case Format::Qvs:
        Put(out, {0xA5, 0xA5, 0xA5, 0xA5, static_cast<std::uint8_t>(sequence),
                  static_cast<std::uint8_t>(sequence >> 8), 0x10, 0x00});
        break;
    case Format::Ovs:
        Put(out, {0xF0,
                  0xF0,
                  0xF0,
                  0x03,
                  static_cast<std::uint8_t>(length >> 24),
                  static_cast<std::uint8_t>(length >> 16),
                  static_cast<std::uint8_t>(length >> 8),
                  static_cast<std::uint8_t>(length),
                  static_cast<std::uint8_t>(sequence >> 8),
                  static_cast<std::uint8_t>(sequence),
                  0x00,
                  20,
                  0x00,
                  0x00,
                  0x00,
                  0x01,
                  0x00,
                  0x00,
                  0x00,
                  0x00});
        break;
    case Format::Raw:
        break;
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::unique_ptr<QvBasePacket> MakePacket(Format format, std::uint32_t size)
{
    switch (format) {
    case Format::Opv:
        return std::make_unique<QvOpvPacket>(size);
    case Format::Qvs:
        return std::make_unique<QvQvsPacket>(size);
    case Format::Ovs:
        return std::make_unique<QvOvsPacket>(size);
    case Format::Raw:
        break;
    }
    return std::make_unique<QvRawPacket>(size);
}

class Harness
{
public:
    Harness(Format format, std::uint32_t blockSize, std::size_t poolSize) : m_blockSize(blockSize)
    {
        for (std::size_t i = 0; i < poolSize; ++i) {
            m_pool.push_back(MakePacket(format, blockSize));
            m_fifo.FreeList().append(m_pool.back().get());
        }
        m_analyser = std::make_unique<QvHeadProcessor>(static_cast<int>(blockSize), m_fifo);
    }

    void Deliver(const Bytes& datagram)
    {
        QvBasePacket* packet = m_fifo.FreeList().get();
        if (packet == nullptr) {
            Drain();
            packet = m_fifo.FreeList().get();
            if (packet == nullptr) {
                return; // everything is held: the datagram is dropped
            }
        }
        packet->Reset();
        const std::size_t n = std::min<std::size_t>(datagram.size(), m_blockSize);
        if (n > 0) {
            std::memcpy(packet->GetBuffer(), datagram.data(), n);
        }
        packet->SetReceived(static_cast<std::uint32_t>(n));
        m_analyser->ReadControlPacket(packet);
        if (packet->CheckHeader(nullptr) == 0) {
            m_fifo.FreeList().append(packet);
        } else if (m_analyser->Process(packet)) {
            m_fifo.DataQueue().append(packet);
            // Start over so that later input exercises a fresh analyser.
            m_analyser = std::make_unique<QvHeadProcessor>(static_cast<int>(m_blockSize), m_fifo);
            Drain();
        }
        CheckConservation();
    }

    void Drain()
    {
        while (QvBasePacket* packet = m_fifo.DataQueue().get()) {
            Require(std::uint64_t{packet->GetPayloadOffset()} + packet->GetPayloadLength() <=
                    packet->GetBufferSize());
            volatile unsigned sum = 0;
            const char* payload = packet->GetPayload();
            for (std::uint32_t i = 0; i < packet->GetPayloadLength(); ++i) {
                sum = sum + static_cast<unsigned char>(payload[i]);
            }
            m_fifo.FreeList().append(packet);
        }
    }

private:
    void CheckConservation()
    {
        Require(m_fifo.FreeList().entries() + m_fifo.DataQueue().entries() +
                    m_analyser->GetHeldCount() + m_analyser->GetKeptBackCount() ==
                m_pool.size());
    }

    std::uint32_t m_blockSize;
    QvFifo m_fifo;
    std::vector<std::unique_ptr<QvBasePacket>> m_pool;
    std::unique_ptr<QvHeadProcessor> m_analyser;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const std::uint8_t setup = in.Next();
    const auto format = static_cast<Format>(setup % 4);
    static constexpr std::uint32_t kBlockSizes[] = {24, 96, 700, 1404, 4000};
    const std::uint32_t blockSize = kBlockSizes[(setup / 4) % 5];
    Harness harness(format, blockSize, 48);

    std::uint32_t sequence = in.Next();
    for (int step = 0; step < 80 && !in.Done(); ++step) {
        switch (in.Next() % 8) {
        case 5: { // header packet, its length field true or any
            Bytes packet(8, 0xA5);
            const std::uint8_t type = static_cast<std::uint8_t>(in.Next() % 3);
            const bool truthful = in.Next() % 2 == 0;
            const std::uint8_t high = in.Next();
            const std::uint8_t low = in.Next();
            Put(packet, {0x00, type, high, low});
            in.Take(packet, in.Next());
            if (truthful) {
                const std::size_t length = packet.size() - 12;
                packet[10] = static_cast<std::uint8_t>(length >> 8);
                packet[11] = static_cast<std::uint8_t>(length);
            }
            harness.Deliver(packet);
            break;
        }
        case 6:
            sequence += in.Next();
            break;
        case 7: { // a datagram straight from the input
            Bytes raw;
            in.Take(raw, in.Next());
            harness.Deliver(raw);
            break;
        }
        default: {
            const Bytes payload = BuildPayload(in);
            harness.Deliver(Frame(format, sequence, payload));
            const bool bytes = format == Format::Opv;
            sequence += bytes ? static_cast<std::uint32_t>(payload.size()) : 1;
            break;
        }
        }
    }
    harness.Drain();
    return 0;
}
