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
//   2  a sequence header but no system header: cut to the video packet that
//      holds the sequence header (or to the pack that leads into that
//      packet), preceded by a synthetic start block. Streams that carry a
//      pack header only every few packets or seconds (ffmpeg's) thus start
//      at the first sequence header received, pack or no pack near it.
//   3  a group of pictures but no sequence header: as mode 2, and the
//      sender's sequence header is written in just before the group
//   4  transport stream: passed through unchanged
//   5  MPEG-2 program stream (any pack of the MPEG-2 layout, or a video
//      packet with an MPEG-2 header): passed through unchanged, since its
//      demultiplexer finds its own way in
// A start code near the beginning of a datagram may belong to a packet that
// began in the datagram before, so the last datagram in which nothing was
// found is kept back until the next one arrives, and both are searched.
//
// The start block (modes 2 and 3) is a pack header, a fixed system header
// (one audio stream C0, one video stream E0) and a padding packet. Its clock
// reference is the stream's own clock where the block goes: one pack
// interval before the first pack, the block then being that interval long,
// when the stream begins at a pack and the next pack is in the held data;
// otherwise counted back from the first pack after the cut at that pack's
// mux rate, or, with no pack in the held data, the time stamp of the video
// packet at the cut (the block then as short as it can be). The filler is a
// padding packet: a packet of the reserved stream BC is read as a program
// stream map by demultiplexers, and GStreamer's then loses the first
// pictures.
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
#include <span>
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
    // left alive (the receiver's pool owns them), and the datagram kept back
    // from the identification goes back to the receiver's free list.
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
    // Datagrams kept back by the identification (0 or 1); not held, and
    // given back to the free list when the analyser goes.
    std::size_t GetKeptBackCount() const { return m_previous != nullptr ? 1 : 0; }
    // Payload bytes copied into the working buffer so far.
    std::uint32_t GetWorkingFill() const { return m_workingFill; }

private:
    struct FixupPlan;

    // The mode found in p, with where the stream will begin (`cut`) and the
    // start code the mode was found by (`anchor`); group starts only when
    // `allowGroup`.
    int IdentifyBytes(std::span<const std::uint8_t> p, bool allowGroup, std::size_t& cut,
                      std::size_t& anchor);
    // Identifies the stream from this packet, together with the one kept
    // back before it when the two follow on; false (the packet kept back in
    // turn) when nothing is found.
    bool Identify(QvBasePacket* packet);
    void AppendWorking(const QvBasePacket& packet);

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
    // The last datagram in which no start was found, kept back until the
    // next one arrives (a packet that holds a start code may begin in it).
    QvBasePacket* m_previous = nullptr;
    // Working-buffer offsets of where the stream begins and of the start
    // code it was identified by.
    std::size_t m_cut = 0;
    std::size_t m_anchor = 0;
    std::uint32_t m_headerLength = 0;
    std::uint8_t m_header[kHeaderAreaSize] = {};
    bool m_reportedOversizeHeader = false;
    bool m_breakPending = false;
};
