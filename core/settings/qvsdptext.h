#pragma once
// SDP text read into properties.
//
// An announcement's SDP text is one more source of settings: its fields
// become properties under the session vocabulary (names beginning with Ses,
// Vid and Aud, plus Address, Port, Bitrate, Mux, PacketFormat and
// PacketSize). The SAP packet parses its text here, and so do the readers
// that only need the group and port an "SDP" setting names, so that every
// part of the system reads a text the same way.

#include "core/strings/utstring.h"

#include <string_view>

class QvPropertyList;

// How much of the SDP dialect is read.
struct QvSdpParseOptions
{
    // "a=x-name:value" attributes become SX/VX/AX properties.
    bool parseXAttributes = true;
    // The session b= value is also stored as Bitrate.
    bool bitrateFromBandwidth = true;
};

// The media sections a text had.
struct QvSdpMedia
{
    bool video = false;
    bool audio = false;
};

// Stores the fields of every whole line of `text` (each ended by a line
// feed, a carriage return before it dropped; a last piece without one is
// not read) in `properties`, which keeps what the text does not set.
//
// Besides the session vocabulary, a video or audio section keeps what a
// text written again needs to name the same stream: its m= line's format
// list (VidFormats, AudFormats), its own c= line (VidConnection,
// AudConnection, the text after "c=") and its payload map and format
// parameters (VidRtpmap, VidFmtp, AudRtpmap, AudFmtp, the text after
// "a=rtpmap:" and "a=fmtp:"). A section of another medium only gives its
// port and transport to both media's names; it is not a video or audio
// section.
QvSdpMedia QvParseSdpText(std::string_view text, QvPropertyList& properties,
                          const QvSdpParseOptions& options = {});

// The size of an announcement's SDP text area, terminating NUL included.
inline constexpr int kQvSdpTextArea = 1050;

// What a receiver takes from an "SDP" setting.
struct QvSdpEndpoint
{
    // False when the text does not fit an announcement's text area; it is
    // then not read at all.
    bool fits = false;
    // The text area's size in text bytes (without the terminating NUL).
    int room = kQvSdpTextArea - 1;
    // The connection address as dotted text and the port, as the text gives
    // them (empty when it gives none), and the stream's multiplex and packet
    // format when the text names them.
    UtCString address;
    UtCString port;
    UtCString mux;
    UtCString packetFormat;
};

QvSdpEndpoint QvReadSdpEndpoint(const UtCString& sdp);
