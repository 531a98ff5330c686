// Runs every MPEG syntax getter on each prefix of the input and the start
// code searches from arbitrary offsets, aborting when a getter breaks its
// bound or a search answers outside the span. The input is put behind a
// pack, packet or transport header so that random bytes reach the fields.
#include "bounds_check.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using namespace mpegsyntax;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void CheckSearches(ByteView p, std::uint8_t code, std::size_t offset)
{
    if (const auto found = start_code_find(p, code, offset)) {
        Require(*found >= offset && *found + kStartCodeSize <= p.size());
        Require(start_code_is(p.subspan(*found), code));
        Require(start_code_rfind(p, code, *found + 1) == found);
    }
    if (const auto found = start_code_rfind(p, code, offset)) {
        Require(*found < offset && *found + kStartCodeSize <= p.size());
        Require(start_code_find(p, code, *found) == found);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static const std::vector<std::uint8_t> kHeads[] = {
        {0x00, 0x00, 0x01, kPackStartCode},
        {0x00, 0x00, 0x01, kStreamVideo0},
        {kTsSyncByte, 0x00, 0x00, 0x30, 0x07, 0x10},
        {},
    };
    // Sized exactly, so that the sanitizers see a read past the end.
    const std::vector<std::uint8_t>& head = kHeads[data[0] % 4];
    std::vector<std::uint8_t> input(head.size() + size - 2);
    std::copy(head.begin(), head.end(), input.begin());
    std::copy(data + 2, data + size, input.begin() + static_cast<std::ptrdiff_t>(head.size()));

    Require(check::FirstBoundBreach(input) == nullptr);
    CheckSearches(input, (data[0] / 4) % 2 == 0 ? kPackStartCode : kStreamVideo0, data[1]);
    return 0;
}
