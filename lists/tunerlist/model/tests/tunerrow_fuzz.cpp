// Builds list rows from entries holding arbitrary SDP text, as the list does
// from what the network announced, and checks what a row must keep: the key
// that finds its entry again, the entry's text, and a rate column that is a
// number or "*".
#include "lists/tunerlist/model/tunerlistmodel.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#define REQUIRE(condition) ((condition) ? void() : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t origin = 0;
    if (size >= 4) {
        std::memcpy(&origin, data, 4);
        data += 4;
        size -= 4;
    }
    // An entry as the directory keeps it: the text of a received packet.
    QvSAPPacket entry(QvSAPPacketOptions::ChannelList());
    entry.SetOrigSrc(origin);
    entry.SetSdpText(std::string(reinterpret_cast<const char*>(data), size).c_str());
    const std::string text = entry.GetPayload();

    const tunerlist::TunerRow row = tunerlist::BuildTunerRow(text, origin);
    REQUIRE(row.sdp == text);
    REQUIRE(row.key == tunerlist::EntryKey(entry));
    const std::string& rate = row.texts[tunerlist::kRate];
    // "*" or a "%.1f" number.
    REQUIRE(rate == "*" || (rate.size() >= 3 && rate[rate.size() - 2] == '.'));
    for (const std::string& column : row.texts) {
        REQUIRE(column.find('\0') == std::string::npos);
    }
    return 0;
}
