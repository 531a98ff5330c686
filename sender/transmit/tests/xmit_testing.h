// Shared pieces of the transmitter tests: temporary files, MPEG-1 system
// streams built pack by pack, a transmitter whose sends are recorded with
// the (manual) clock instead of going to a socket, and the control-packet
// readers.
#pragma once

#include "core/packets/qvpacket.h"
#include "platform/clock.h"
#include "platform/testsupport/tempfiles.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace xmittest {

using Bytes = qvtest::Bytes;

// ---- Files ------------------------------------------------------------------

using qvtest::ReadAll;
using qvtest::SamplePath;
using qvtest::TempDir;

// ---- MPEG-1 system streams --------------------------------------------------
// Written from the pack and packet layouts, every marker bit set. Payload
// bytes are never 0, so the only start codes are the ones written on purpose.

inline std::uint8_t Byte(std::uint64_t v)
{
    return static_cast<std::uint8_t>(v & 0xFF);
}

inline Bytes Mpeg1ScrBytes(std::uint64_t scr)
{
    return {Byte(0x21 | ((scr >> 29) & 0x0E)), Byte(scr >> 22), Byte(((scr >> 14) & 0xFE) | 1),
            Byte(scr >> 7), Byte(((scr << 1) & 0xFE) | 1)};
}

class Mpeg1Stream
{
public:
    static constexpr std::size_t kPackHeaderSize = 12;
    static constexpr std::size_t kPesHeaderSize = 6;

    // A pack header with the clock reference, then one packet of `payload`
    // bytes. With `emulation` the payload carries a pack start code and a
    // clock reference of `emulatedScr` that are only data.
    void Pack(std::uint64_t scr, std::size_t payload, bool emulation = false,
              std::uint64_t emulatedScr = 0)
    {
        m_packs.push_back(m_bytes.size());
        Append({0x00, 0x00, 0x01, 0xBA});
        Append(Mpeg1ScrBytes(scr & ((std::uint64_t{1} << 33) - 1)));
        Append({0x80, 0x00, 0x01}); // mux rate with its markers
        Packet(payload, emulation, emulatedScr);
    }

    // A packet without a pack header (payload at most 65535 bytes).
    void Packet(std::size_t payload, bool emulation = false, std::uint64_t emulatedScr = 0)
    {
        Append({0x00, 0x00, 0x01, 0xE0, Byte(payload >> 8), Byte(payload)});
        const std::size_t start = m_bytes.size();
        for (std::size_t i = 0; i < payload; ++i) {
            m_bytes.push_back(Byte(0x11 + (start + i) % 200));
        }
        if (emulation && payload >= 40) {
            Bytes fake = {0x00, 0x00, 0x01, 0xBA};
            const Bytes scr = Mpeg1ScrBytes(emulatedScr);
            fake.insert(fake.end(), scr.begin(), scr.end());
            std::copy(fake.begin(), fake.end(),
                      m_bytes.begin() + static_cast<std::ptrdiff_t>(start + 20));
        }
    }

    // Packs of `packSize` bytes whose clock references start at `firstScr`
    // and step by `step` ticks (taken modulo 2^33).
    void Packs(std::size_t count, std::size_t packSize, std::uint64_t firstScr, std::uint64_t step)
    {
        for (std::size_t i = 0; i < count; ++i) {
            Pack(firstScr + i * step, packSize - kPackHeaderSize - kPesHeaderSize);
        }
    }

    const Bytes& bytes() const { return m_bytes; }
    // File offsets of the pack headers, in order.
    const std::vector<std::size_t>& packs() const { return m_packs; }

private:
    void Append(std::initializer_list<std::uint8_t> more) { m_bytes.insert(m_bytes.end(), more); }
    void Append(const Bytes& more) { m_bytes.insert(m_bytes.end(), more.begin(), more.end()); }

    Bytes m_bytes;
    std::vector<std::size_t> m_packs;
};

// ---- Datagrams --------------------------------------------------------------

inline bool IsControl(const Bytes& d)
{
    if (d.size() < qvwire::kHeaderPacketDataOffset - 2) {
        return false;
    }
    for (std::size_t i = 0; i < qvwire::kControlMarkerLength; ++i) {
        if (d[i] != qvwire::kControlMarkerByte) {
            return false;
        }
    }
    return true;
}

inline unsigned ControlType(const Bytes& d)
{
    return static_cast<unsigned>(d[8]) << 8 | d[9];
}

inline bool IsEndOfStream(const Bytes& d)
{
    return IsControl(d) && ControlType(d) == qvwire::kControlTypeEndOfStream &&
           d.size() == qvwire::kEndOfStreamLength;
}

inline std::uint32_t OpvOffset(const Bytes& d)
{
    return static_cast<std::uint32_t>(d[0]) << 24 | static_cast<std::uint32_t>(d[1]) << 16 |
           static_cast<std::uint32_t>(d[2]) << 8 | d[3];
}

// ---- A transmitter that records instead of sending --------------------------

struct Sent
{
    std::uint32_t time = 0; // the process clock when Send was called
    Bytes bytes;
};

template <class Base> class RecordingXmit final : public Base
{
public:
    // The thread calls Send until Stop returns, so Stop before the members go.
    ~RecordingXmit() override { this->Stop(); }

    int Send(const void* buffer, int length, int) override
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        Bytes bytes(p, p + length);
        if (!IsControl(bytes) && m_failEvery > 0 && ++m_dataCalls % m_failEvery == 0) {
            return -1;
        }
        m_sent.push_back({qvplat::TickCount(), std::move(bytes)});
        return length;
    }

    // Every n-th data packet fails (0: none).
    void FailEvery(int n)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_failEvery = n;
    }

    std::vector<Sent> Records()
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_sent;
    }
    std::size_t Count()
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_sent.size();
    }

private:
    std::mutex m_lock;
    std::vector<Sent> m_sent;
    int m_failEvery = 0;
    int m_dataCalls = 0;
};

// Waits (in real time, never on the process clock) until the transmission
// ends by itself; false after the timeout.
template <class X> bool WaitFinished(X& x, std::chrono::seconds timeout = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!x.IsFinished()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace xmittest
