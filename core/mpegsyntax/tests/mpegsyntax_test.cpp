// The MPEG syntax accessors on boundary values and on input cut short.
#include "bounds_check.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using namespace mpegsyntax;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMaxClock = kClockModulus - 1;

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A transport packet with the given header bytes 3.. and the next packet's
// sync byte behind it.
Bytes TsPacket(const Bytes& fromByte3)
{
    Bytes out = Concat({{kTsSyncByte, 0x01, 0x00}, fromByte3});
    out.resize(kTsPacketSize, 0xFF);
    out.push_back(kTsSyncByte);
    return out;
}

const Bytes kMpeg1Pack = {0x00, 0x00, 0x01, 0xBA, 0x2F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Seven stuffing bytes.
const Bytes kMpeg2Pack =
    Concat({{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xFF},
            Bytes(7, 0xFF)});
const Bytes kPcrPacket = TsPacket({0x30, 0x07, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

// A getter of the bound check by name.
std::uint64_t Read(std::string_view getter, ByteView p)
{
    for (const check::Getter& g : check::kGetters) {
        if (g.name == getter) {
            return g.read(p);
        }
    }
    ADD_FAILURE() << "no getter " << getter;
    return 0;
}

struct GetterCase
{
    const char* what;
    Bytes input;
    const char* getter;
    std::uint64_t expected;
};

TEST(MpegSyntaxGetters, ValuesAndBoundsOnPrefixes)
{
    const GetterCase cases[] = {
        {"MPEG-1 pack size", kMpeg1Pack, "ps_pack_size", 12},
        {"largest SCR", kMpeg1Pack, "ps1_pack_get_scr", kMaxClock},
        {"largest mux rate", kMpeg1Pack, "ps1_pack_get_mux_rate", 0x3FFFFF},
        {"MPEG-2 pack size with stuffing", kMpeg2Pack, "ps_pack_size", 21},
        {"pack of neither layout",
         {0x00, 0x00, 0x01, 0xBA, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "ps_pack_size",
         0},
        {"packet length", {0x00, 0x00, 0x01, 0xE0, 0x12, 0x34}, "pes_get_length", 0x1234},
        {"PCR flagged", kPcrPacket, "tsaf_has_pcr", 1},
        {"largest PCR base", kPcrPacket, "tsaf_get_pcr_base", kMaxClock},
        {"adaptation field one byte short of a PCR", TsPacket({0x30, 0x06, 0x10}), "tsaf_has_pcr",
         0},
        {"payload only, PCR flag bit set", TsPacket({0x10, 0x07, 0x10}), "tsaf_has_pcr", 0},
        {"adaptation field only, no PCR flag", TsPacket({0x20, 0x07, 0xEF}), "tsaf_has_pcr", 0},
    };
    for (const GetterCase& c : cases) {
        EXPECT_EQ(Read(c.getter, c.input), c.expected) << c.what;
        EXPECT_STREQ(check::FirstBoundBreach(c.input), nullptr) << c.what;
    }
}

struct SearchCase
{
    const char* what;
    Bytes input;
    std::size_t from;
    std::optional<std::size_t> found;
    std::size_t before;
    std::optional<std::size_t> foundBefore;
};

TEST(MpegSyntaxStartCodes, SearchStaysInsideTheSpan)
{
    const std::optional<std::size_t> none;
    const SearchCase cases[] = {
        {"empty", {}, 0, none, 1, none},
        {"prefix cut by the end", {0x00, 0x00, 0x01}, 0, none, 3, none},
        {"code alone", {0x00, 0x00, 0x01, 0xBA}, 0, 0, 4, 0},
        {"after a zero", {0x00, 0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01}, 0, 1, 8, 1},
        {"other code", {0x00, 0x00, 0x01, 0xBB}, 0, none, 4, none},
        {"search begins past it", {0x00, 0x00, 0x01, 0xBA, 0x00}, 1, none, 0, none},
        {"search begins past the end", {0x00, 0x00, 0x01, 0xBA}, 9, none, 99, 0},
        {"two: first and last", {0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01, 0xBA}, 0, 0, 8, 4},
        {"two: second from its offset",
         {0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01, 0xBA},
         4,
         4,
         4,
         0},
    };
    for (const SearchCase& c : cases) {
        EXPECT_EQ(start_code_find(c.input, kPackStartCode, c.from), c.found) << c.what;
        EXPECT_EQ(start_code_rfind(c.input, kPackStartCode, c.before), c.foundBefore) << c.what;
    }
}

TEST(MpegSyntaxWriters, WriteWholeFieldsOrNothing)
{
    std::array<std::uint8_t, 18> buffer{};
    buffer.fill(0x5A);
    const MutableByteView out(buffer);
    EXPECT_FALSE(ps1_pack_init(out.first(kPs1PackSize - 1), 0, 0));
    EXPECT_FALSE(pes_init(out.first(kPesHeaderSize - 1), kStreamVideo0, 0));
    EXPECT_FALSE(ps_sysheader_init(out.first(ps_sysheader_size(2) - 1), 2, 0, 0, 0, 0));
    EXPECT_FALSE(ps_sysheader_set_stream(out, 2, kStreamVideo0, true, 0));
    for (std::uint8_t b : buffer) {
        ASSERT_EQ(b, 0x5A);
    }

    // What the pack writer writes, the getters read back, the SCR modulo 2^33.
    ASSERT_TRUE(ps1_pack_init(out, kClockModulus + 0x1'2345'6789, 0x2A'AAAA));
    EXPECT_TRUE(start_code_is(out, kPackStartCode));
    EXPECT_EQ(ps_pack_size(out), kPs1PackSize);
    EXPECT_EQ(ps1_pack_get_scr(out), 0x1'2345'6789u);
    EXPECT_EQ(ps1_pack_get_mux_rate(out), 0x2A'AAAAu);
    EXPECT_EQ(buffer[kPs1PackSize], 0x5A);
}

} // namespace
