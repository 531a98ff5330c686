#pragma once
// MPEG header analyser of the stream receiver.
//
// A receiver that joins a live MPEG stream in the middle gets bytes that
// begin anywhere: inside a pack, before any system header, or without a
// sequence header, and a decoder fed from there may never start. The
// analyser sits in front of the receiver's data queue while the start of a
// stream is pending. It identifies the kind of stream from the first
// datagrams, holds back the first packets and, for MPEG-1 system streams and
// for streams whose packs carry no system header, rewrites the start so that
// the stream begins cleanly: with a pack header, a system header and, where
// the stream lacks it, the sequence header that the sender broadcasts in its
// header packets. Then it releases the held packets into the data queue and
// the receiver deletes it.
//
// Stream modes (GetMode):
//   0  not identified yet
//   1  MPEG-1 system stream: the stream is cut to begin with the pack that
//      carries the first system header
//   2  packs with a sequence header but no system header: cut to the pack
//      before the sequence header, preceded by a synthetic start block
//   3  packs with a group of pictures but no sequence header: as mode 2, and
//      the sender's sequence header is written in just before the group
//   4  transport stream: passed through unchanged
//   5  MPEG-2 program stream: passed through unchanged
//
// The start block (modes 2 and 3) is one pack interval long and holds a pack
// header whose clock reference lies one pack interval before the first pack,
// a fixed system header (one audio stream C0, one video stream E0) and a
// packet of stream BC that fills the rest of the interval.
//
// How the receiver uses it (all on the receiver's collector thread):
//   - create it when a stream starts and needs a header fix-up, passing the
//     packet buffer size and the receiver itself (a QvFifo: its free list and
//     data queue are where packets go);
//   - for every received datagram, after SetReceived, call ReadControlPacket
//     (it keeps the sender's header packets) before the receiver's own
//     header check;
//   - for every datagram that passed the header check while the header is not
//     ready, call Process. On false the analyser has taken the packet (held
//     it, or put it back on the free list). On true the start of the stream
//     is settled: the held packets are already in the data queue, the
//     receiver queues this packet itself and deletes the analyser.
//
// Nothing in a stream ends the process: when the start cannot be rewritten
// (a start code is missing, the packs are too far apart, the header does not
// fit, no free packet is left), the fix-up is abandoned with a log line and
// the held packets are passed on unchanged.

#include "core/qvexport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class QvBasePacket;
class QvFifo;
class QvSList;

class QV_API QvHeadProcessor
{
public:
    // Stream modes; see above.
    static constexpr int kModeUnknown = 0;
    static constexpr int kModeSystem = 1;
    static constexpr int kModeSequenceNoSystem = 2;
    static constexpr int kModeGopNoSequence = 3;
    static constexpr int kModeTransport = 4;
    static constexpr int kModeProgram = 5;

    // Bytes of a header packet's MPEG data that are kept; a header packet
    // that carries more is ignored.
    static constexpr std::uint32_t kHeaderAreaSize = 256;

    // An empty analyser in mode 0 for packets of `blockSize` bytes whose
    // held packets go to `receiver`'s data queue and whose rejected packets
    // go to its free list. The receiver must outlive the analyser.
    QvHeadProcessor(int blockSize, QvFifo& receiver);
    QvHeadProcessor(const QvHeadProcessor&) = delete;
    QvHeadProcessor& operator=(const QvHeadProcessor&) = delete;
    // Frees the working buffer and the start block; packets still held are
    // left alive (the receiver's pool owns them).
    virtual ~QvHeadProcessor();

    // 1 when the received datagram in the packet's buffer begins with the
    // control packet marker, 0 otherwise. A header packet (type 1) whose MPEG
    // bytes fit both the datagram and the header area replaces the stored
    // header bytes; any other header packet is ignored.
    int ReadControlPacket(QvBasePacket* packet);

    // The mode found in the packet's payload; 0 when none is recognised.
    int IdentifyStream(QvBasePacket* packet);

    // Takes one received packet; true when the start of the stream is
    // settled (see above). A packet marked as the first after a break ends
    // the run held so far, as a gap in the sequence does; when it is not
    // kept, its mark goes to the next packet that is kept or passed on.
    bool Process(QvBasePacket* packet);
    // Whether a break mark waits for the next packet kept; clears it.
    bool TakePendingBreak();

    int GetMode() const { return m_mode; }
    // The MPEG bytes of the last header packet kept (0 bytes before any).
    std::uint32_t GetHeaderLength() const { return m_headerLength; }
    const std::uint8_t* GetHeaderBytes() const { return m_header; }
    // Packets held back so far.
    std::size_t GetHeldCount() const;
    // Payload bytes copied into the working buffer so far.
    std::uint32_t GetWorkingFill() const { return m_workingFill; }

private:
    struct FixupPlan;

    bool PoolRunningLow(std::uint32_t pending) const;
    void ReleaseHeld();
    void Hold(QvBasePacket* packet);
    void ToFreeList(QvBasePacket* packet);

    // Each returns false, with a reason, when the fix-up cannot be done; the
    // stream is then left unchanged.
    bool FixUp(const char*& reason);
    bool FixUpSystemStream(const char*& reason);
    bool FixUpMissingHeaders(const char*& reason);
    bool BuildStartBlock(const char*& reason);
    bool PlanFirstPacket(FixupPlan& plan, const char*& reason);
    bool TakeFreePackets(std::vector<QvBasePacket*>& pieces, const char*& reason);
    void ApplyFirstPacket(const FixupPlan& plan);
    void InsertStartBlock(std::vector<QvBasePacket*>& pieces);

    std::unique_ptr<std::uint8_t[]> m_working;
    std::size_t m_workingSize = 0;
    std::uint32_t m_workingFill = 0;
    std::uint32_t m_blockSize = 0;
    std::unique_ptr<QvSList> m_held;
    std::vector<std::uint8_t> m_startBlock;
    std::uint32_t m_startRemaining = 0;
    QvFifo& m_receiver;
    int m_mode = kModeUnknown;
    std::uint32_t m_expectedSequence = 0;
    std::uint32_t m_headerLength = 0;
    std::uint8_t m_header[kHeaderAreaSize] = {};
    bool m_reportedOversizeHeader = false;
    bool m_breakPending = false;
};
