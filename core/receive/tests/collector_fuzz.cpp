// Drives the stream receiver's packet path with datagram sequences built from
// the input: any packet format, packet size and window, with or without the
// header fix-up; datagrams of any length whose sequences run on, repeat, go
// back, skip ahead or wrap, carrying MPEG start codes, transport sync bytes,
// header and end-of-stream packets or raw bytes; interleaved with reads of
// any size, packet reads, flushes and watchdog passes. Every packet must stay
// in the pool and no read may return more than it asked for; the sanitizers
// catch any access outside a buffer.
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/clock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
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
    std::uint32_t Next16() { return static_cast<std::uint32_t>(Next() << 8 | Next()); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

enum class Format {
    Opv,
    Raw,
    Ovs,
    Qvs,
};

constexpr const char* kFormatNames[] = {"OPV", "RAW", "OVS", "QVS"};
constexpr int kPacketSizes[] = {1404, 4096, 8196, 16384};

void PutBe(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Payload bytes: start codes and sync bytes that the header analyser looks
// for, mixed with bytes from the input.
void AppendPayload(Input& in, Bytes& out, std::size_t length)
{
    while (out.size() < length && !in.Done()) {
        switch (in.Next() % 8) {
        case 0:
            out.insert(out.end(),
                       {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91});
            break;
        case 1:
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C});
            break;
        case 2:
            out.insert(out.end(),
                       {0x00, 0x00, 0x01, static_cast<std::uint8_t>(in.Next() % 2 ? 0xB3 : 0xB8)});
            break;
        case 3:
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xE0});
            break;
        case 4:
            out.push_back(0x47);
            out.resize(out.size() + 187, 0x11);
            break;
        default:
            for (int i = 0; i < 16; ++i) {
                out.push_back(in.Next());
            }
            break;
        }
    }
    out.resize(length, 0x55);
}

// A started collector and its settings. Making a pool costs far more than
// running a short input, so a session serves the inputs that follow it until
// an input asks for a new one (about one in sixteen do, choosing the format,
// packet size, window and fix-up); each input starts on an empty queue.
struct Session
{
    explicit Session(std::uint8_t setup)
    {
        format = static_cast<Format>(setup % 4);
        const int packetSize = kPacketSizes[(setup >> 2) % 4];
        const int window = (setup >> 4) % 4;
        props.SetProperty("PacketFormat", kFormatNames[static_cast<int>(format)]);
        props.SetProperty("PacketSize", packetSize, QvPropertyList::Decimal);
        props.SetProperty("Retrans", window, QvPropertyList::Decimal);
        props.SetProperty("FixHeader", (setup & 0x40) != 0 ? "TRUE" : "FALSE");
        collector.SetPropertyList(&props);
        Require(collector.StartDetached() == QvUdpDataCollector::kStartOk);
        blockSize = static_cast<std::uint32_t>(collector.GetSmallBufSize());
        poolSize = collector.AllPackets().entries();
    }
    ~Session()
    {
        collector.Stop();
        Require(collector.AllPackets().entries() == 0);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Format format = Format::Opv;
    QvPropertyList props;
    QvUdpDataCollector collector;
    std::uint32_t blockSize = 0;
    std::size_t poolSize = 0;
};

qvplat::ManualClock& Clock()
{
    static qvplat::ManualClock clock;
    static qvplat::ScopedClockOverride installed(clock);
    return clock;
}

Session& SessionFor(std::uint8_t setup)
{
    Clock(); // installed before any collector reads the time, removed after
    static std::unique_ptr<Session> session;
    if (!session || (setup & 0x0F) == 0) {
        session.reset();
        session = std::make_unique<Session>(static_cast<std::uint8_t>(setup >> 4 | setup << 4));
    }
    session->collector.FlushAllFifos();
    session->collector.SetFlowControl((setup & 0x80) != 0);
    return *session;
}

class Driver
{
public:
    Driver(Input& in, Session& session)
        : m_in(in), m_format(session.format), m_collector(session.collector),
          m_blockSize(session.blockSize), m_poolSize(session.poolSize)
    {
        m_read.resize(3 * m_blockSize + 100);
    }

    void Run()
    {
        while (!m_in.Done()) {
            const std::uint8_t op = m_in.Next();
            switch (op % 12) {
            case 8:
                Read();
                break;
            case 9:
                TakePacket();
                break;
            case 10:
                if (op & 0x10) {
                    m_collector.FlushAllFifos();
                } else {
                    m_collector.SetReqTimeoutMonitor((op & 0x20) != 0);
                }
                break;
            case 11:
                Clock().Advance(m_in.Next() * 10u);
                m_collector.WatchDog();
                break;
            default:
                Feed(op);
                break;
            }
            CheckPool();
        }
    }

private:
    void Feed(std::uint8_t op)
    {
        Bytes datagram;
        switch (op % 8) {
        case 0: { // raw bytes of any length, a header packet or an end of stream
            const std::uint8_t kind = m_in.Next();
            if (kind % 3 == 0) {
                datagram.assign(8, 0xA5);
                PutBe(datagram, kind % 2 ? 1u : 2u, 2);
                const std::uint32_t length = m_in.Next();
                PutBe(datagram, length, 2);
                AppendPayload(m_in, datagram, datagram.size() + (m_in.Next() % 2 ? length : 1));
            } else {
                AppendPayload(m_in, datagram, m_in.Next16() % (m_blockSize + 32));
            }
            break;
        }
        default: { // a well-formed data packet whose sequence runs on, or not
            const std::uint32_t payload = 1 + m_in.Next16() % m_blockSize;
            std::uint32_t sequence = m_next;
            switch (m_in.Next() % 6) {
            case 0:
                sequence -= m_in.Next16();
                break;
            case 1:
                sequence += m_in.Next16();
                break;
            case 2:
                sequence = 0xFFFFFFFFu - m_in.Next16();
                break;
            default:
                break;
            }
            WriteHeader(datagram, sequence, payload);
            AppendPayload(m_in, datagram, datagram.size() + payload);
            m_next = m_format == Format::Opv ? sequence + payload : sequence + 1;
            break;
        }
        }
        m_collector.FeedDatagram(datagram.data(), datagram.size());
    }

    void WriteHeader(Bytes& out, std::uint32_t sequence, std::uint32_t payload)
    {
        switch (m_format) {
        case Format::Opv:
            PutBe(out, sequence, 4);
            break;
        case Format::Raw:
            break;
        case Format::Qvs:
            out.insert(out.end(), {0xA5, 0xA5, 0xA5, 0xA5, static_cast<std::uint8_t>(sequence),
                                   static_cast<std::uint8_t>(sequence >> 8), 0x10, 0x00});
            break;
        case Format::Ovs:
            out.insert(out.end(), {0xF0, 0xF0, 0xF0, 0x03});
            PutBe(out, payload, 4);
            PutBe(out, sequence & 0xFFFFu, 2);
            out.insert(out.end(), {0x00, 20});
            PutBe(out, 1, 4);
            PutBe(out, 0, 4);
            break;
        }
    }

    // A reader would wait for more data; let the data time out first, so the
    // call hands out what is queued and never blocks.
    void LetDataTimeOut()
    {
        Clock().Advance(m_collector.GetDataTimeout() + 1);
        m_collector.WatchDog();
    }

    void Read()
    {
        LetDataTimeOut();
        const long request = static_cast<long>(m_in.Next16() % m_read.size());
        int flags = -1;
        const long got = m_collector.ReadBuffer(m_read.data(), request, flags);
        Require(got >= 0 && got <= request);
        Require(flags == 0 || flags == QvUdpDataCollector::kBreak ||
                flags == QvUdpDataCollector::kTimeout);
    }

    void TakePacket()
    {
        LetDataTimeOut();
        long size = -1;
        int flags = -1;
        const char* payload = m_collector.GetNextBuffer(size, flags);
        if (payload != nullptr) {
            Require(size >= 0 && static_cast<std::uint32_t>(size) <= m_blockSize);
            volatile char sink = 0;
            for (long i = 0; i < size; ++i) {
                sink = static_cast<char>(sink ^ payload[i]);
            }
        } else {
            Require(flags == QvUdpDataCollector::kTimeout);
        }
    }

    void CheckPool()
    {
        Require(m_collector.AllPackets().entries() == m_poolSize);
        const std::size_t placed = m_collector.FreeList().entries() +
                                   m_collector.DataQueue().entries() +
                                   m_collector.LentList().entries();
        Require(placed <= m_poolSize);
        Require(m_collector.LentList().entries() <= QvUdpDataCollector::kMaxLent);
    }

    Input& m_in;
    Format m_format;
    QvUdpDataCollector& m_collector;
    std::uint32_t m_blockSize;
    std::size_t m_poolSize;
    std::uint32_t m_next = 0;
    std::vector<char> m_read;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Driver driver(in, SessionFor(in.Next()));
    driver.Run();
    return 0;
}
