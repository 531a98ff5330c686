#pragma once
// The sequence-header resender.
//
// A receiver that joins a running transmission cannot decode until the next
// MPEG video sequence header passes by. At the start of every pass the
// transmitter has this object cut the first sequence header of the file,
// with everything up to the first group of pictures, into a header packet,
// and a thread of its own sends that packet every 500 ms through the
// transmitter's socket until the pass ends.
//
// Header packet (the control packet layout of the data stream):
//   A5 x 8, BE 16-bit type 1, BE 16-bit length L, then L bytes from the
//   first 00 00 01 B3 up to (not including) the first 00 00 01 B8 after it.
// The packet is at most 512 bytes, so L is at most 500. A header part that
// is longer, or that has no group-of-pictures start code behind it within
// the bytes read, does not make a packet: Start then fails and the
// transmitter goes on without header packets.

#include "platform/thread.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

class QvUdpCaster;

class QvHeadCaster
{
public:
    static constexpr std::size_t kPacketCapacity = 512;
    static constexpr std::size_t kDefaultReadSize = 32768;
    static constexpr std::uint32_t kDefaultPeriodMs = 500;

    QvHeadCaster();
    // Stops a started resender.
    virtual ~QvHeadCaster();

    QvHeadCaster(const QvHeadCaster&) = delete;
    QvHeadCaster& operator=(const QvHeadCaster&) = delete;

    // Reads the head of the file, builds the header packet and starts the
    // sending thread (a started one is stopped first). 0 when the thread
    // runs; 1 when the file cannot be opened or read, holds no sequence
    // header in the bytes read, or its header part does not fit the packet.
    int Start();
    // Ends the thread and waits for it, then clears the owner; 0. Nothing
    // happens when not started.
    int Stop();

    // Bytes read from the start of the file to look for the header.
    void SetReadSize(std::size_t bytes) { m_readSize = bytes; }
    std::size_t GetReadSize() const { return m_readSize; }
    void SetFilePath(std::string_view path) { m_filePath = path; }
    const std::string& GetFilePath() const { return m_filePath; }
    // The caster whose Send carries the packet; null pauses the sending
    // (the thread goes on). Stop clears it, so it is set before each Start.
    void SetOwner(QvUdpCaster* owner) { m_owner.store(owner, std::memory_order_release); }
    QvUdpCaster* GetOwner() const { return m_owner.load(std::memory_order_acquire); }
    std::uint32_t GetPeriod() const { return m_periodMs; }

    bool IsStarted() const { return m_started; }
    // The packet of the last successful Start (empty before one).
    std::span<const std::uint8_t> GetPacket() const
    {
        return std::span<const std::uint8_t>(m_packet).first(m_packetLength);
    }

private:
    // Fills the packet from the file; false (logged) when it cannot.
    bool BuildPacket();
    void SendLoop();

    std::size_t m_readSize = kDefaultReadSize;
    std::array<std::uint8_t, kPacketCapacity> m_packet{};
    std::size_t m_packetLength = 0;
    std::uint32_t m_periodMs = kDefaultPeriodMs;
    std::string m_filePath = "c:\\mpeg\\test.mpg";
    std::atomic<QvUdpCaster*> m_owner{nullptr};
    bool m_started = false;

    // The thread waits out its period on this, so Stop wakes it at once.
    std::mutex m_waitLock;
    std::condition_variable m_wake;
    bool m_run = false; // guarded by m_waitLock
    qvplat::Thread m_thread;
};
