#pragma once
// The channel dialog without its window: the rows it lists, read from the
// player's SAP directory under its lock, and what a choice does to the
// player's settings.

#include "core/sap/qvsapdb.h"
#include "core/settings/qvproplist.h"

#include <string>
#include <vector>

namespace player {

struct ChannelRow
{
    // "%s-%s  %s" of the announcement's Address, Port and SesSesName.
    std::string text;
    // The row's own copy of the announcement's SDP text: it stays valid
    // after the directory lets the entry go.
    std::string sdp;

    bool operator==(const ChannelRow&) const = default;
};

// The row of one SDP text.
ChannelRow MakeChannelRow(const char* sdp);

// The rows of every entry, sorted by text (without regard to case; two
// equal texts both stay). The directory lock is held for the walk only.
std::vector<ChannelRow> ReadChannelRows(QvSapDb& db);

// A choice: `sdp` (null when no row was selected) becomes the SDP property
// and Address, Filename and Port go, so the controller takes the stream
// from the SDP text. Without a row nothing changes.
void ChooseChannel(QvPropertyList& properties, const std::string* sdp);

} // namespace player
