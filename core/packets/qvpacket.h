#pragma once
// Data packets of a live stream.
//
// Every received datagram is read into a packet object: a fixed-size buffer
// plus what the datagram's header says about it (where the payload starts,
// how long it is, which sequence number it carries). One class per packet
// format implements the same virtual operations, so the receiving code
// handles every format alike:
//
//   "OPV"  4-byte header: BE 32-bit stream byte offset of the first payload
//          byte, then the payload.
//   "QVS"  8-byte header: A5 A5 A5 A5, LE 16-bit packet number, LE 16-bit 16,
//          then the payload.
//   "OVS"  20-byte header: F0 F0 F0 03, BE 32-bit payload length, BE 16-bit
//          packet number, one unread byte, one byte header length (the
//          payload offset, 20 for this layout), BE 32-bit 1, four unread
//          bytes; the payload starts at the header length.
//   "RAW"  no header; the whole datagram is payload, the sequence stays 0.
//
// The sender's control packets share the data port. They begin with the
// eight-byte marker A5 A5 A5 A5 A5 A5 A5 A5 followed by a BE 16-bit type:
// 1 is a header packet (BE 16-bit length L at offset 10, then L MPEG bytes
// from the sequence header up to the group of pictures), 2 is the end of the
// stream (sent as 13 bytes; the last three carry nothing).
//
// A datagram is taken in by SetReceived; CheckHeader then says whether it is
// a data packet of the format. A datagram too short for its format's header,
// or whose header claims more payload than the datagram carries, is refused
// by both (SetReceived returns false and leaves an empty payload; CheckHeader
// returns 0), so nothing beyond the received bytes is ever read. Call
// SetReceived before CheckHeader: before SetReceived the packet only knows
// its buffer, not how much of it the datagram filled.
//
// Packets also carry the links through which the packet lists (QvSList) hold
// them without allocating: one link for a working list (free list, data
// queue, lent list, ...) and one for the list of every packet of a pool.

#include "core/qvexport.h"
#include "core/threads/qvobject.h"
#include "core/strings/utlist.h"
#include "core/strings/utstring.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class QvBasePacket;
class QvSList;

// Wire constants of the packet formats and the control packets.
namespace qvwire {

inline constexpr std::uint32_t kOpvHeaderLength = 4;
inline constexpr std::uint32_t kQvsHeaderLength = 8;
inline constexpr std::uint32_t kOvsHeaderLength = 20;

inline constexpr std::uint8_t kQvsMarkerByte = 0xA5; // bytes 0-3 of "QVS"
inline constexpr std::uint16_t kQvsTypeWord = 16;    // LE word at offset 6
inline constexpr std::uint8_t kOvsMarker[4] = {0xF0, 0xF0, 0xF0, 0x03};
inline constexpr std::uint32_t kOvsVersionWord = 1; // BE word at offset 12

inline constexpr std::uint8_t kControlMarkerByte = 0xA5;
inline constexpr std::uint32_t kControlMarkerLength = 8;
inline constexpr std::uint32_t kControlTypeOffset = 8;
inline constexpr std::uint32_t kControlLengthOffset = 10;
inline constexpr std::uint32_t kHeaderPacketDataOffset = 12;
inline constexpr std::uint16_t kControlTypeHeader = 1;
inline constexpr std::uint16_t kControlTypeEndOfStream = 2;
inline constexpr std::uint32_t kEndOfStreamLength = 13;

} // namespace qvwire

// A control packet as read by QvParseControlPacket.
struct QvControlPacket
{
    std::uint16_t type = 0;
    // Header packet: the MPEG bytes and their count. Empty for other types
    // and for a header packet that claims more bytes than it carries.
    const std::uint8_t* mpeg = nullptr;
    std::uint16_t mpegLength = 0;
};

// True when the `size` bytes at `data` begin with the control packet marker
// and hold the type word; `out` then describes the packet.
QV_API bool QvParseControlPacket(const void* data, std::size_t size, QvControlPacket& out);

// Writers for the sender. Each returns the number of bytes written, or 0
// (writing nothing) when `capacity` is too small or the arguments are bad.
// The OPV header: the stream byte offset of the payload that follows.
QV_API std::size_t QvWriteOpvHeader(void* out, std::size_t capacity, std::uint32_t sequence);
// The 13-byte end-of-stream packet (the last three bytes zero).
QV_API std::size_t QvWriteEndOfStream(void* out, std::size_t capacity);
// A header packet carrying `length` MPEG bytes (at most 65535).
QV_API std::size_t QvWriteHeaderPacket(void* out, std::size_t capacity, const void* mpeg,
                                       std::size_t length);

// Which of a packet's links a QvSList threads through. A packet is in at most
// one working list and at most one pool list at a time.
enum class QvListRole : std::uint8_t {
    Working = 0,
    Pool = 1,
};

// A packet's place in a QvSList. `list` names the list holding the link (null
// when none does); it is written under that list's lock.
struct QvPacketLink : UtSlistLink
{
    QvBasePacket* packet = nullptr;
    std::atomic<QvSList*> list{nullptr};
};

// One received datagram; on its own the "RAW" behaviour.
class QV_API QvBasePacket : public QvObject
{
public:
    // With a null buffer the packet allocates `size` bytes and owns them;
    // otherwise it uses `buffer` (at least `size` bytes) and never frees it.
    explicit QvBasePacket(std::uint32_t size, char* buffer = nullptr);
    QvBasePacket(const QvBasePacket&) = delete;
    QvBasePacket& operator=(const QvBasePacket&) = delete;
    // A packet deleted while still in a list leaves that list first.
    ~QvBasePacket() override;

    // Empties the packet for the next datagram: sequence 0, break flag clear,
    // received length = buffer size, payload = the buffer after the header.
    virtual void Reset();
    // A datagram of `n` bytes now fills the buffer (more than the buffer
    // holds counts as the buffer size). Reads the header; returns false, with
    // sequence 0 and an empty payload, when the datagram is too short for the
    // header or its header claims more payload than it carries.
    virtual bool SetReceived(std::uint32_t n);
    // The sequence the next packet of the stream should carry.
    virtual std::uint32_t NextSequence() const;
    // The sequence of the payload that would end `n` bytes before this
    // payload ("OPV"); the sequence itself for the numbered formats.
    virtual std::uint32_t GetSequence(std::uint32_t n) const;
    // Non-zero when the buffer holds a valid data packet of the format;
    // "OPV" also checks continuity with `previous` when it is given.
    virtual int CheckHeader(const QvBasePacket* previous) const;
    // Marks `n` payload bytes as used; returns the count actually consumed,
    // which is never more than the payload left.
    virtual std::uint32_t Consume(std::uint32_t n);
    // Payload bytes missing between expected sequence `a` and arriving
    // sequence `b`; 0 when `b` is not after `a` (a late or repeated packet),
    // in the format's sequence space, so wrapping does not read as a loss.
    virtual std::uint32_t SequenceDistance(std::uint32_t a, std::uint32_t b) const;
    // True for the sender's end-of-stream packet ("OPV" only).
    virtual bool IsControlPacket() const;
    // Orders two sequences of the format, allowing for wrap-around:
    // negative when `a` comes before `b`, 0 when equal, positive after.
    virtual int CompareSequence(std::uint32_t a, std::uint32_t b) const;

    const UtCString& GetName() const { return m_name; }
    std::uint32_t GetBufferSize() const { return m_bufferSize; }
    std::uint32_t GetReceivedLength() const { return m_receivedLength; }
    std::uint32_t GetPayloadLength() const { return m_payloadLength; }
    std::uint32_t GetPayloadOffset() const { return m_payloadOffset; }
    // The sequence field as the header gave it (adjusted by Consume).
    std::uint32_t Sequence() const { return m_sequence; }
    char* GetBuffer() { return m_buffer; }
    const char* GetBuffer() const { return m_buffer; }
    char* GetPayload() { return m_buffer + m_payloadOffset; }
    const char* GetPayload() const { return m_buffer + m_payloadOffset; }
    bool IsBreak() const { return m_break; }
    bool IsBorrowed() const { return m_borrowed; }

    void SetSequence(std::uint32_t sequence) { m_sequence = sequence; }
    // Sets the unconsumed payload length, cut to what the buffer holds after
    // the payload offset; returns the length set.
    std::uint32_t SetPayloadLength(std::uint32_t length);
    void SetBreak(bool brk) { m_break = brk; }

protected:
    // Reset state for a format whose payload starts `headerLength` bytes in.
    void ResetWithHeader(std::uint32_t headerLength);
    // Records `n` received bytes (cut to the buffer) and returns the count.
    std::uint32_t StoreReceived(std::uint32_t n);
    // Sets the payload and sequence read from a header; the caller has
    // checked that offset + length fits the received bytes.
    void SetParsed(std::uint32_t sequence, std::uint32_t offset, std::uint32_t length);
    // The state of a refused datagram: sequence 0, no payload.
    void SetMalformed(std::uint32_t headerLength);

    const std::uint8_t* Bytes() const { return reinterpret_cast<const std::uint8_t*>(m_buffer); }

    // Readers of header words; the caller has checked the bounds.
    static std::uint32_t ReadBe32(const std::uint8_t* p);
    static std::uint16_t ReadBe16(const std::uint8_t* p);
    static std::uint16_t ReadLe16(const std::uint8_t* p);

    // Sequence arithmetic modulo 2^32 and 2^16.
    static int Compare32(std::uint32_t a, std::uint32_t b);
    static int Compare16(std::uint32_t a, std::uint32_t b);

private:
    friend class QvSList;
    QvPacketLink& LinkFor(QvListRole role) { return m_links[static_cast<int>(role)]; }

    UtCString m_name;
    std::uint32_t m_sequence = 0;
    std::uint32_t m_bufferSize = 0;
    std::uint32_t m_receivedLength = 0;
    std::uint32_t m_payloadLength = 0;
    std::uint32_t m_payloadOffset = 0;
    char* m_buffer = nullptr;
    bool m_break = false;
    bool m_borrowed = false;
    QvPacketLink m_links[2];
};

// "RAW": the whole datagram is payload; no sequence, so no loss and no break.
class QV_API QvRawPacket : public QvBasePacket
{
public:
    explicit QvRawPacket(std::uint32_t packetSize, char* buffer = nullptr);
    ~QvRawPacket() override;
};

// "OPV": BE 32-bit stream byte offset, then the payload.
class QV_API QvOpvPacket : public QvBasePacket
{
public:
    explicit QvOpvPacket(std::uint32_t packetSize, char* buffer = nullptr);
    ~QvOpvPacket() override;

    void Reset() override;
    bool SetReceived(std::uint32_t n) override;
    std::uint32_t NextSequence() const override;
    std::uint32_t GetSequence(std::uint32_t n) const override;
    int CheckHeader(const QvBasePacket* previous) const override;
    std::uint32_t Consume(std::uint32_t n) override;
    bool IsControlPacket() const override;
};

// "QVS": A5 A5 A5 A5, LE 16-bit packet number, LE 16-bit 16, then the payload.
class QV_API QvQvsPacket : public QvBasePacket
{
public:
    explicit QvQvsPacket(std::uint32_t packetSize, char* buffer = nullptr);
    ~QvQvsPacket() override;

    void Reset() override;
    bool SetReceived(std::uint32_t n) override;
    std::uint32_t NextSequence() const override;
    std::uint32_t GetSequence(std::uint32_t n) const override;
    int CheckHeader(const QvBasePacket* previous) const override;
    std::uint32_t SequenceDistance(std::uint32_t a, std::uint32_t b) const override;
    int CompareSequence(std::uint32_t a, std::uint32_t b) const override;
    // The packet number before this one, modulo 65536.
    virtual std::uint32_t PrevSequence() const;
};

// "OVS": 20-byte header with magic, payload length, packet number and the
// payload offset.
class QV_API QvOvsPacket : public QvBasePacket
{
public:
    explicit QvOvsPacket(std::uint32_t packetSize, char* buffer = nullptr);
    ~QvOvsPacket() override;

    void Reset() override;
    bool SetReceived(std::uint32_t n) override;
    std::uint32_t NextSequence() const override;
    std::uint32_t GetSequence(std::uint32_t n) const override;
    int CheckHeader(const QvBasePacket* previous) const override;
    std::uint32_t SequenceDistance(std::uint32_t a, std::uint32_t b) const override;
    int CompareSequence(std::uint32_t a, std::uint32_t b) const override;
    // The packet number before this one, modulo 65536.
    virtual std::uint32_t PrevSequence() const;

private:
    // Whether the header's payload offset and length fit `received` bytes.
    bool LayoutFits(std::uint32_t received) const;
};
