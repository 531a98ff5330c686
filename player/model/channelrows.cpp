#include "player/model/channelrows.h"

#include "core/sap/qvsappacket.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace player {

ChannelRow MakeChannelRow(const char* sdp)
{
    ChannelRow row;
    row.sdp = sdp != nullptr ? sdp : "";
    QvSAPPacket packet;
    packet.SetSdpText(row.sdp.c_str());
    row.text = std::string(packet.GetPropA("Address")) + "-" + packet.GetPropA("Port") + "  " +
               packet.GetPropA("SesSesName");
    return row;
}

std::vector<ChannelRow> ReadChannelRows(QvSapDb& db)
{
    std::vector<std::string> texts;
    db.LockDb();
    for (const char* text = db.GetFirstItem(); text != nullptr; text = db.GetNextItem()) {
        texts.emplace_back(text);
    }
    db.UnlockDb();
    // Parsing happens after the lock is left.
    std::vector<ChannelRow> rows;
    rows.reserve(texts.size());
    for (const std::string& text : texts) {
        rows.push_back(MakeChannelRow(text.c_str()));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ChannelRow& a, const ChannelRow& b) {
        return strcasecmp(a.text.c_str(), b.text.c_str()) < 0;
    });
    return rows;
}

void ChooseChannel(QvPropertyList& properties, const std::string* sdp)
{
    if (sdp == nullptr) {
        return;
    }
    properties.AddProperty("SDP", sdp->c_str());
    properties.ClearProperty("Address");
    properties.ClearProperty("Filename");
    properties.ClearProperty("Port");
}

} // namespace player
