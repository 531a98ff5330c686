// Feeds arbitrary bytes to the SAP packet as a received datagram, as a raw
// buffer and as property names and values, and checks what must hold for
// every input: the text stays terminated inside its area, the writer ends on
// a whole line and never writes past the area, and a rebuilt text parses
// without trouble.
#include "core/sap/qvsappacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

QvSAPPacketOptions OptionsFor(std::uint8_t selector)
{
    switch (selector % 3) {
    case 1:
        return QvSAPPacketOptions::ChannelList();
    case 2:
        return QvSAPPacketOptions::Monitor();
    default:
        return QvSAPPacketOptions::Standard();
    }
}

void CheckText(const QvSAPPacket& packet)
{
    const std::size_t area = static_cast<std::size_t>(packet.GetPayloadSize());
    const std::size_t length = strnlen(packet.GetPayload(), area);
    Require(length < area);
    Require(packet.GetDatagramLength() == static_cast<int>(8 + length + 1));
}

// Rebuilds the text from the parsed properties and checks the writer's rules.
void CheckRebuilt(QvSAPPacket& packet)
{
    const char* text = packet.OutBuffer() + 8;
    CheckText(packet);
    const std::size_t length = std::strlen(text);
    Require(length == 0 || text[length - 1] == '\n');

    QvSAPPacket again(packet.GetOptions());
    Require(again.SetSdpText(text));
    (void)again.GetPropA("Port");
    CheckText(again);
}

const char* const names[] = {"SesProtoVer", "SesOAddr", "SesSesName", "Address", "Port",
                             "Bitrate",     "Mux",      "PacketFormat", "VidPort", "AudPort",
                             "SXLANG",      "VXLANG",   "AXLANG"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QvSAPPacketOptions options = OptionsFor(size > 0 ? data[0] : 0);
    const char* bytes = reinterpret_cast<const char*>(data);

    // The raw bytes as header and text.
    QvSAPPacket raw(bytes, size, options);
    CheckText(raw);
    (void)QvSAPPacket::ValidateSession(&raw);
    for (const char* name : names) {
        Require(raw.GetPropA(name) != nullptr);
    }
    CheckRebuilt(raw);

    // The bytes as a received datagram, with or without a payload type.
    QvSAPPacket received(options);
    if (received.FillFromDatagram(data, size)) {
        CheckText(received);
        (void)received.GetPropA("SesSesName");
        CheckRebuilt(received);
    }

    // The bytes as properties: alternating names and values at each NUL or
    // line feed, written through the bounded writer.
    QvSAPPacket built(options);
    const std::string input(bytes, size);
    std::string name;
    bool haveName = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i < input.size() && input[i] != '\0' && input[i] != '\n') {
            continue;
        }
        const std::string piece = input.substr(start, i - start);
        start = i + 1;
        if (!haveName) {
            name = piece;
            haveName = true;
        } else {
            built.SetPropA(name.c_str(), piece.c_str());
            haveName = false;
        }
    }
    const int result = built.ConstructPacket();
    Require(result == 0 || result == -1);
    CheckText(built);
    const std::size_t length = std::strlen(built.GetPayload());
    Require(length == 0 || built.GetPayload()[length - 1] == '\n');
    return 0;
}
