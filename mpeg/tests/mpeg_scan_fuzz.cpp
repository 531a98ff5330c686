// Feeds arbitrary bytes to the stream-type detection and to every clock
// reference scanner, walking each buffer from its first clock reference to
// its last, and checks that every hit lies inside the buffer and behind the
// previous one (so a caller's scan loop always ends). The input is dressed
// up as program or transport stream so that random bytes reach the parsers.
#include "mpeg/mpeganalysis.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Program-stream flavour: some bytes stand for pack and packet start codes
// (a packet start code takes the next input byte as a short length).
std::vector<std::uint8_t> ExpandProgram(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        switch (data[i]) {
        case 0xF0: // an MPEG-2 pack header
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01,
                                   0x89, 0xC3, 0xF8});
            break;
        case 0xF3: // an MPEG-1 pack header
            out.insert(out.end(),
                       {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x59});
            break;
        case 0xF4: // a bare pack start code
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xBA});
            break;
        case 0xF1:
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xE0, 0x00});
            break;
        case 0xF2:
            out.insert(out.end(), {0x00, 0x00, 0x01, 0xB9});
            break;
        default:
            out.push_back(data[i]);
        }
    }
    return out;
}

// Transport flavour: the input cut into 188-byte packets behind sync bytes,
// its own bytes serving as packet headers; a byte 0xF0 right after a sync
// byte drops it, so the packets go out of step now and then.
std::vector<std::uint8_t> ExpandTransport(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < size; i += 187) {
        const std::size_t n = std::min<std::size_t>(187, size - i);
        if (data[i] != 0xF0)
            out.push_back(0x47);
        out.insert(out.end(), data + i, data + i + n);
    }
    return out;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void Walk(const qvmpeg::TimestampScanner& scanner, const std::vector<std::uint8_t>& buf)
{
    auto hit = scanner.FindFirstTimestamp(buf);
    while (hit) {
        Check(hit->position < buf.size());
        Check(hit->ticks < qvmpeg::kTimestampModulus);
        auto next = scanner.FindNextTimestamp(buf, hit->position);
        if (next)
            Check(next->position > hit->position);
        hit = next;
    }
    // Arbitrary positions, including past the end.
    for (std::size_t at : {std::size_t{0}, buf.size() / 3, buf.size(), buf.size() + 5}) {
        if (auto next = scanner.FindNextTimestamp(buf, at))
            Check(next->position > at && next->position < buf.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::vector<std::uint8_t> buf = (data[0] & 1) != 0 ? ExpandTransport(data + 1, size - 1)
                                                             : ExpandProgram(data + 1, size - 1);
    const int type = qvmpeg::ClassifyStreamHead(buf);
    Check(type >= qvmpeg::kMpeg1System && type <= qvmpeg::kUnknownStream);
    Walk(qvmpeg::Mpeg1SystemScanner(), buf);
    Walk(qvmpeg::Mpeg2ProgramScanner(), buf);
    Walk(qvmpeg::Mpeg2TransportScanner(), buf);
    return 0;
}
