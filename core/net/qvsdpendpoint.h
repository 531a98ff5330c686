#pragma once
// The group and port that an announcement's SDP text names, as the UDP
// reader takes them from its "SDP" setting. The network layer only declares
// this; the announcement layer, which knows the SDP text form, defines it
// (core/sap/qvsdpendpoint.cpp), so that sockets and readers do not depend
// on it.

#include "core/strings/utstring.h"

struct QvSdpEndpoint
{
    // False when the text does not fit an announcement's text area; it is
    // then not read at all.
    bool fits = false;
    // The text area's size in text bytes (without the terminating NUL).
    int room = 0;
    // The connection address as dotted text and the port, as the text gives
    // them (empty when it gives none).
    UtCString address;
    UtCString port;
};

QvSdpEndpoint QvReadSdpEndpoint(const UtCString& sdp);
