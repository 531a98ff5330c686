#pragma once
// The MPEG stream transmitter.
//
// XmitMPEG sends one MPEG file as UDP datagrams to a multicast group (or a
// unicast address) in real time. The bytes before each clock reference of
// the stream (the system clock reference of program streams, the program
// clock reference of transport streams) go out once a 90 kHz clock running
// from the millisecond timer has passed that clock reference; they are cut
// into payloads of 8192 bytes and sent raw or behind a 4-byte running byte
// offset ("OPV" framing). Each pass ends with an end-of-stream packet; passes
// repeat with a pause between them. While a pass runs the stream is
// announced by SAP, and with the header resender on its sequence header is
// resent every 500 ms.
//
// One subclass per stream type supplies the clock-reference decoding and
// scanning: XmitMPEG1System, XmitMPEG2Program, XmitMPEG2Transport. The base
// class only analyses files (stream type, bit rate) and is never started.
//
// Use (one owner thread calls everything but the statistics' readers):
//   XmitMPEG2Program x;
//   x.SetFilePath(path); x.SetStreamType(2);
//   x.SetAddress(group, port); x.SetInterface(addr); x.SetTTL(ttl);
//   x.SetPacketFormat(XmitMPEG::kOpvFormat); x.SetHeaderCaster(true);
//   x.SetRepeat(XmitMPEG::kEndless, 5000); x.SetSAPCaster(&x.GetOwnSAPCaster());
//   x.ComputeBitrate();
//   x.Start();  ... poll IsFinished(), GetPayloadBytesSent() ...  x.Stop();
//
// Pacing. The first clock reference of a pass sets the stream's zero; each
// later one is due when the time since the pass started, in 90 kHz ticks,
// exceeds its distance from the first. The bytes up to the second clock
// reference go at once when both lie in the first read. Distances are
// taken modulo 2^33, so a clock that wraps paces on; a clock reference that
// jumps backwards or more than kMaxClockGapTicks forwards (two files joined,
// a restarted encoder) is a discontinuity: it is given the distance that its
// bytes take at the stream's bit rate, and pacing goes on from there.
//
// The read buffer holds 128 KB. When more than fits lies between two clock
// references, the bytes read so far go out unpaced (whole payloads, a line in
// the debug log) and the search for the next clock reference starts afresh
// behind them.
//
// A payload whose send fails is dropped: it is logged, the running byte
// offset still moves past it (the receiver sees a gap, not a shifted
// stream) and it does not count as sent.

#include "core/sap/qvsap.h"
#include "core/sap/qvsappacket.h"
#include "core/net/qvudpcaster.h"
#include "platform/thread.h"
#include "mpeg/mpeganalysis.h"
#include "sender/transmit/qvheadcaster.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class XmitMPEG : public QvUdpCaster
{
public:
    // Packet formats.
    static constexpr int kRawFormat = 0; // the payload is the datagram
    static constexpr int kOpvFormat = 1; // BE 32-bit stream byte offset, then the payload

    static constexpr std::size_t kPayloadSize = 8192;
    static constexpr std::size_t kOpvPacketSize = kPayloadSize + 4;

    // Repeat counts: kEndless passes until stopped; n > 0 gives n passes.
    static constexpr int kEndless = -1;
    static constexpr std::uint32_t kDefaultPauseMs = 5000;
    static constexpr std::uint32_t kAnnouncePeriodMs = 5000;
    static constexpr std::uint32_t kPacingStepMs = 10;

    // Consecutive clock references further apart than this (two seconds;
    // the MPEG system layers allow at most 0.7 s) mark a discontinuity.
    static constexpr std::int64_t kMaxClockGapTicks = 2 * 90000;

    // Defaults: group 225.1.1.10 port 2010, any interface, send buffer 51200
    // bytes, OPV framing, header resender off, nothing announced, endless
    // passes with a 5000 ms pause, file "c:\mpeg\test.mpg".
    XmitMPEG();
    // Stops a running transmission. The thread calls virtual operations
    // (the clock-reference decoding, Send) until Stop returns, so every
    // subclass calls Stop first thing in its own destructor, before its part
    // of the object goes.
    ~XmitMPEG() override;

    XmitMPEG(const XmitMPEG&) = delete;
    XmitMPEG& operator=(const XmitMPEG&) = delete;

    // ---- Analysis --------------------------------------------------------------------
    // Classifies the file: 1 when it was read (the type, kUnknownStream when
    // unclassified, goes to streamType), 0 when it cannot be opened or read.
    int DetectStreamType(int& streamType);
    // The file's bit rate from its first two clock references, in bits per
    // second; stored with the file size. 0 on failure (and always for the
    // base class).
    std::uint64_t ComputeBitrate();

    // ---- Transmission ----------------------------------------------------------------
    // Starts the transmit thread (a running transmission is stopped first).
    // 0 when it runs; 1 when the file cannot be opened, the thread cannot be
    // made, or this transmitter has no clock-reference scanner (the base
    // class). A caster that cannot start throws its QvException, after
    // "QvUdpCaster failed to start" in the debug log; nothing stays open then.
    // The own SAP caster counts only while it is the one that announces
    // (SetSAPCaster(&GetOwnSAPCaster())); otherwise its failure is logged
    // and the transmission goes on without it.
    int Start();
    // Ends the transmission: the thread is told to stop and waited for, then
    // the file, sockets and buffers are released. 0. Nothing when not running.
    int Stop();

    // ---- Settings, before Start ------------------------------------------------------
    // Group, port, interface and TTL are the caster's (SetAddress,
    // SetInterface, SetTTL with DecodeTTL of a scope word).
    // The path also goes to the header resender.
    void SetFilePath(std::string_view path);
    const std::string& GetFilePath() const { return m_filePath; }
    void SetStreamType(int streamType) { m_streamType = streamType; }
    int GetStreamType() const { return m_streamType; }
    // kRawFormat or kOpvFormat (any other value counts as kOpvFormat).
    void SetPacketFormat(int format)
    {
        m_packetFormat = format == kRawFormat ? kRawFormat : kOpvFormat;
    }
    int GetPacketFormat() const { return m_packetFormat; }
    // Switches the sequence-header resender on or off (transport streams
    // keep it off).
    virtual void SetHeaderCaster(bool on);
    bool GetHeaderCaster() const { return m_headerCasterOn; }
    // Passes (kEndless or n > 0; 0 counts as 1) and the pause between them.
    void SetRepeat(int count, std::uint32_t pauseMs);
    int GetRepeatCount() const { return m_repeatCount; }
    std::uint32_t GetPause() const { return m_pauseMs; }
    // The SAP caster that announces the stream; null announces nothing.
    void SetSAPCaster(QvSAPCaster* caster) { m_sapCaster = caster; }
    QvSAPCaster* GetSAPCaster() const { return m_sapCaster; }
    // The transmitter's own SAP caster, started and stopped with it.
    QvSAPCaster& GetOwnSAPCaster() { return m_ownSapCaster; }

    // ---- Read by the owner while it runs (from any thread) ---------------------------
    // Set once the passes ended by themselves: all done, or a read failure,
    // or no clock reference in the file. Cleared by Start; a Stop does not
    // set it.
    bool IsFinished() const { return m_finished.load(std::memory_order_acquire); }
    // Between a successful Start and Stop.
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    // Payload bytes sent in the current pass.
    std::uint64_t GetPayloadBytesSent() const
    {
        return m_payloadSent.load(std::memory_order_relaxed);
    }
    // Bytes handed to the socket in the current pass: payloads, OPV headers
    // and end-of-stream packets.
    std::uint64_t GetSocketBytesSent() const
    {
        return m_socketSent.load(std::memory_order_relaxed);
    }
    std::uint64_t GetFileSize() const { return m_fileSize.load(std::memory_order_relaxed); }
    // The bit rate of the last ComputeBitrate; it also paces discontinuities
    // and goes into the announcement.
    std::uint64_t GetBitrate() const { return m_bitrate; }
    // Share of the file sent in this pass, 0..100.
    int GetProgressPercent() const;

    // ---- Clock references ------------------------------------------------------------
    // The 90 kHz value of the five clock-reference bytes at `bytes`; 0 in the
    // base class.
    virtual std::uint64_t DecodeTimestamp(const std::uint8_t* bytes) const;

    // The session name of a path: the part after its last '/', ':' or '\\',
    // cut at its last '.' unless that dot opens the name.
    static std::string SessionName(std::string_view path);

protected:
    // For the subclasses: the scanner of their stream type.
    XmitMPEG(int streamType, std::unique_ptr<qvmpeg::TimestampScanner> scanner);

    // Scans the read buffer. 0 when found, 1 when not. The first clock
    // reference of the buffer becomes the current one; the next one after
    // the current (or, after an unpaced flush, the first in the buffer) is
    // stored as the one waited for.
    virtual int FindFirstTimestamp();
    virtual int FindNextTimestamp();

private:
    enum class PassEnd {
        Completed, // the file was sent, or a stop was seen outside pacing
        Stopped,   // a stop was seen while pacing: the thread ends at once
        Failed,    // read failure or no clock reference: the thread ends
    };
    enum class ReadOutcome {
        Data,
        Failed,
    };

    void Initialize();
    int StopLocked();
    void TransmitThread();
    PassEnd RunPass();
    bool BeginPass();
    ReadOutcome ReadBlock();
    // Waits until the clock reference waited for is due: 0, or 1 when the
    // run flag was cleared.
    int Pace();
    void ReleaseToMark(std::size_t mark);
    void SendRest();
    void FlushUnpaced();
    void Compact();
    // Adds the distance to the clock reference just found to the schedule.
    void AdvanceSchedule(std::uint64_t ticks, std::uint64_t streamPosition);
    // Whether the bytes up to `mark` fill more than one payload, i.e. a
    // release there sends anything.
    bool ReleaseSends(std::size_t mark) const;
    void PauseBetweenPasses();
    bool Running() const { return m_run.load(std::memory_order_acquire); }

    // Sends one payload; returns its length whether or not the send
    // succeeded (a failed payload is dropped and logged).
    std::size_t SendPacket(const std::uint8_t* data, std::size_t length);
    void SendEndOfStream();

    void BuildAnnouncement();
    void AnnounceIfDue();
    void WithdrawAnnouncement();

    // ---- Members ----
    QvHeadCaster m_headCaster;
    bool m_headerCasterOn = false;
    QvSAPCaster m_ownSapCaster;
    QvSAPCaster* m_sapCaster = nullptr;
    std::unique_ptr<QvSAPPacket> m_announcement;
    std::uint32_t m_lastAnnounceMs = 0;
    std::uint32_t m_announcePeriodMs = kAnnouncePeriodMs;

    std::string m_filePath = "c:\\mpeg\\test.mpg";
    qvmpeg::MpegFileReader m_file;
    int m_streamType = qvmpeg::kUnknownStream;
    std::unique_ptr<qvmpeg::TimestampScanner> m_scanner;
    std::uint64_t m_bitrate = 0;
    std::atomic<std::uint64_t> m_fileSize{0};

    // The read buffer and its positions (indexes into it).
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint8_t> m_packet; // OPV framing only
    std::size_t m_fill = 0;
    std::size_t m_sent = 0;
    std::size_t m_current = 0; // position of the current clock reference
    std::size_t m_next = 0;    // position of the clock reference waited for
    std::uint64_t m_nextTicks = 0;
    std::uint64_t m_bufferBase = 0; // file offset of m_buffer[0]
    bool m_endOfFile = false;
    bool m_firstPending = true;
    bool m_rescan = false; // the next search starts at the buffer's start

    // Pacing: ticks after the pass's first clock reference at which the one
    // waited for is due, the last clock reference taken into the schedule
    // and where it lay in the file, and the pass clock.
    std::uint64_t m_schedule = 0;
    std::uint64_t m_lastTicks = 0;
    std::uint64_t m_lastStampPosition = 0;
    std::uint64_t m_passStartNs = 0; // on the monotonic clock

    int m_packetFormat = kOpvFormat;
    std::uint32_t m_streamOffset = 0; // runs on across passes
    std::atomic<std::uint64_t> m_payloadSent{0};
    std::atomic<std::uint64_t> m_socketSent{0};

    int m_repeatCount = kEndless;
    std::uint32_t m_pauseMs = kDefaultPauseMs;

    std::atomic<bool> m_run{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_finished{false};
    std::mutex m_control; // serialises Start and Stop
    qvplat::Thread m_thread;
};

// MPEG-1 system streams: system clock references in pack headers.
class XmitMPEG1System : public XmitMPEG
{
public:
    XmitMPEG1System();
    ~XmitMPEG1System() override;
    std::uint64_t DecodeTimestamp(const std::uint8_t* bytes) const override;
};

// MPEG-2 program streams: the 33-bit base of the pack headers' system clock
// references.
class XmitMPEG2Program : public XmitMPEG
{
public:
    XmitMPEG2Program();
    ~XmitMPEG2Program() override;
    std::uint64_t DecodeTimestamp(const std::uint8_t* bytes) const override;
};

// MPEG-2 transport streams: the base of the program clock references in
// 188-byte packets. There is no sequence header to resend, so the header
// resender stays off.
class XmitMPEG2Transport : public XmitMPEG
{
public:
    XmitMPEG2Transport();
    ~XmitMPEG2Transport() override;
    std::uint64_t DecodeTimestamp(const std::uint8_t* bytes) const override;
    void SetHeaderCaster(bool on) override;
};

// The transmitter for a stream type of the analysis (qvmpeg::kMpeg1System,
// kMpeg2Program, kMpeg2Transport); null for any other type.
std::unique_ptr<XmitMPEG> MakeXmitMPEG(int streamType);
