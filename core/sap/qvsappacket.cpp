#include "core/sap/qvsappacket.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvsdptext.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

namespace {

constexpr std::size_t headerSize = QvSAPPacketOptions::headerSize;
constexpr int minimumPacketSize = QvSAPPacketOptions::headerSize + 1;

// Header field positions in byte 0.
constexpr unsigned versionShift = 5;
constexpr unsigned typeShift = 2;
constexpr unsigned encryptedShift = 1;
constexpr unsigned compressedShift = 0;

constexpr unsigned char announcementByte = 0x20; // version 1, type 0
constexpr unsigned char deletionByte = 0x24;     // version 1, type 1

constexpr std::string_view sdpPayloadType = "application/sdp";

const char emptyText[] = "";

const char* OrEmpty(const char* text)
{
    return text != nullptr ? text : emptyText;
}

bool IsEmpty(const char* text)
{
    return text[0] == '\0';
}

// The text of an area up to its first NUL, never reading past the area.
std::string_view TextIn(const char* area, std::size_t size)
{
    return std::string_view(area, strnlen(area, size));
}

} // namespace

// ---- Text writer --------------------------------------------------------------------

class QvSAPPacket::TextWriter
{
public:
    // Empties the area; `size` counts the terminating NUL.
    TextWriter(char* area, std::size_t size) : m_area(area), m_size(size)
    {
        std::memset(m_area, 0, m_size);
    }

    // Formats one line and appends it when it fits with the terminating NUL.
    // Once a line does not fit, it and every later line are dropped, so the
    // text always ends with a whole line.
    void Line(const char* format, ...) QV_PRINTF_FORMAT(2, 3)
    {
        if (m_cut) {
            return;
        }
        std::va_list args;
        va_start(args, format);
        const std::string line = Format(format, args);
        va_end(args);
        if (line.size() >= m_size - m_length) {
            m_cut = true;
            return;
        }
        std::memcpy(m_area + m_length, line.data(), line.size());
        m_length += line.size();
        m_area[m_length] = '\0';
    }

    bool WasCut() const { return m_cut; }
    std::size_t Length() const { return m_length; }

private:
    static std::string Format(const char* format, std::va_list args)
    {
        std::va_list measure;
        va_copy(measure, args);
        const int needed = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (needed <= 0) {
            return std::string();
        }
        std::string text(static_cast<std::size_t>(needed) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(needed));
        return text;
    }

    char* m_area;
    std::size_t m_size;
    std::size_t m_length = 0;
    bool m_cut = false;
};

// ---- Construction -------------------------------------------------------------------

QvSAPPacket::QvSAPPacket() : QvSAPPacket(QvSAPPacketOptions::Standard()) {}

QvSAPPacket::QvSAPPacket(const QvSAPPacketOptions& options) : m_options(options)
{
    Allocate();
}

QvSAPPacket::QvSAPPacket(const char* datagram, std::size_t length,
                         const QvSAPPacketOptions& options)
    : m_options(options)
{
    Allocate();
    if (datagram != nullptr) {
        const std::size_t size = static_cast<std::size_t>(GetPacketSize());
        std::memcpy(m_buffer.get(), datagram, std::min(length, size));
    }
    BufferFilled();
}

QvSAPPacket::QvSAPPacket(const QvSAPPacket& other)
    : m_properties(other.m_properties), m_options(other.m_options),
      m_state(other.m_state), m_hasAudio(other.m_hasAudio), m_hasVideo(other.m_hasVideo)
{
    Allocate();
    std::memcpy(m_buffer.get(), other.m_buffer.get(), static_cast<std::size_t>(GetPacketSize()));
}

QvSAPPacket& QvSAPPacket::operator=(const QvSAPPacket& other)
{
    if (this == &other) {
        return *this;
    }
    if (m_options.packetSize != other.m_options.packetSize) {
        m_options = other.m_options;
        Allocate();
    }
    m_options = other.m_options;
    std::memcpy(m_buffer.get(), other.m_buffer.get(), static_cast<std::size_t>(GetPacketSize()));
    m_properties = other.m_properties;
    m_state = other.m_state;
    m_hasAudio = other.m_hasAudio;
    m_hasVideo = other.m_hasVideo;
    return *this;
}

QvSAPPacket::~QvSAPPacket() = default;

void QvSAPPacket::Buffer::Reset(std::size_t size)
{
    if (size <= sizeof(m_inline)) {
        m_heap.reset();
        m_data = m_inline;
        std::memset(m_data, 0, size);
        return;
    }
    // The value-initialising form zero-fills the block.
    m_heap.reset(new char[size]());
    m_data = m_heap.get();
}

void QvSAPPacket::Allocate()
{
    m_options.packetSize = std::max(m_options.packetSize, minimumPacketSize);
    m_buffer.Reset(static_cast<std::size_t>(m_options.packetSize));
}

// ---- Buffer -------------------------------------------------------------------------

SAPPacket* QvSAPPacket::GetPacketData()
{
    return reinterpret_cast<SAPPacket*>(m_buffer.get());
}

const SAPPacket* QvSAPPacket::GetPacketData() const
{
    return reinterpret_cast<const SAPPacket*>(m_buffer.get());
}

char* QvSAPPacket::OutBuffer()
{
    if (m_state == State::Parsed) {
        ConstructPacket();
    }
    return m_buffer.get();
}

int QvSAPPacket::GetDatagramLength() const
{
    const std::size_t text = TextIn(GetPayload(), static_cast<std::size_t>(GetPayloadSize())).size();
    // A text that fills its whole area still goes out with a NUL: the
    // caller sends the buffer, whose last byte BufferFilled keeps at 0.
    return static_cast<int>(std::min(headerSize + text + 1, static_cast<std::size_t>(GetPacketSize())));
}

void QvSAPPacket::BufferFilled()
{
    m_buffer[static_cast<std::size_t>(GetPacketSize()) - 1] = '\0';
    const std::string_view text = TextIn(GetPayload(), static_cast<std::size_t>(GetPayloadSize()));
    m_state = State::Filled;
    m_hasVideo = text.find("m=video") != std::string_view::npos;
    m_hasAudio = text.find("m=audio") != std::string_view::npos;
}

bool QvSAPPacket::FillFromDatagram(const void* data, std::size_t length)
{
    if (data == nullptr || length < headerSize) {
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    const std::size_t authBytes = 4 * static_cast<std::size_t>(static_cast<unsigned char>(bytes[1]));
    if (length < headerSize + authBytes) {
        return false;
    }
    std::string_view payload(bytes + headerSize + authBytes, length - headerSize - authBytes);

    // An SDP text begins with "v=" and consists of lines; a payload type is a
    // single NUL-terminated word in front of it.
    const std::size_t nul = payload.find('\0');
    const bool hasType = !payload.empty() && payload[0] != '\0' && !payload.starts_with("v=") &&
                         nul != std::string_view::npos &&
                         payload.substr(0, nul).find('\n') == std::string_view::npos;
    if (hasType) {
        const std::string_view type = payload.substr(0, nul);
        if (type.size() != sdpPayloadType.size() ||
            strncasecmp(type.data(), sdpPayloadType.data(), type.size()) != 0) {
            return false;
        }
        payload.remove_prefix(nul + 1);
    }

    std::memcpy(m_buffer.get(), bytes, headerSize);
    char* area = GetPayload();
    const std::size_t areaSize = static_cast<std::size_t>(GetPayloadSize());
    const std::size_t textLength = std::min(payload.find('\0') == std::string_view::npos
                                                ? payload.size()
                                                : payload.find('\0'),
                                            areaSize - 1);
    std::memset(area, 0, areaSize);
    std::memcpy(area, payload.data(), textLength);
    BufferFilled();
    return true;
}

bool QvSAPPacket::SetSdpText(const char* text)
{
    const std::string_view source(OrEmpty(text));
    char* area = GetPayload();
    const std::size_t areaSize = static_cast<std::size_t>(GetPayloadSize());
    const std::size_t textLength = std::min(source.size(), areaSize - 1);
    std::memset(area, 0, areaSize);
    std::memcpy(area, source.data(), textLength);
    BufferFilled();
    return textLength == source.size();
}

// ---- Properties ---------------------------------------------------------------------

void QvSAPPacket::ParseIfFilled()
{
    if (m_state == State::Filled) {
        BreakdownPacket();
    }
}

const char* QvSAPPacket::GetPropA(const char* name)
{
    ParseIfFilled();
    return Prop(name);
}

void QvSAPPacket::SetPropA(const char* name, const char* value)
{
    ParseIfFilled();
    name = OrEmpty(name);
    if (IsEmpty(name)) {
        return;
    }
    if (name[0] == 'V') {
        m_hasVideo = true;
    } else if (name[0] == 'A') {
        m_hasAudio = true;
    }
    m_properties.AddProperty(name, OrEmpty(value));
}

const char* QvSAPPacket::Prop(const char* name) const
{
    return m_properties.GetCharProperty(OrEmpty(name));
}

bool QvSAPPacket::HasProp(const char* name) const
{
    return !IsEmpty(Prop(name));
}

// ---- Header -------------------------------------------------------------------------

void QvSAPPacket::InitAnnouncement()
{
    HeaderBytes()[0] = announcementByte;
    HeaderBytes()[1] = 0;
}

void QvSAPPacket::InitDeletion()
{
    HeaderBytes()[0] = deletionByte;
    HeaderBytes()[1] = 0;
}

void QvSAPPacket::SetHeaderBits(unsigned long value, unsigned shift, unsigned width)
{
    const unsigned mask = ((1U << width) - 1U) << shift;
    const unsigned bits = (static_cast<unsigned>(value) << shift) & mask;
    HeaderBytes()[0] = static_cast<unsigned char>((HeaderBytes()[0] & ~mask) | bits);
}

unsigned long QvSAPPacket::GetV() const
{
    return (HeaderBytes()[0] >> versionShift) & 0x7U;
}

void QvSAPPacket::SetV(unsigned long value)
{
    SetHeaderBits(value, versionShift, 3);
}

unsigned long QvSAPPacket::GetMT() const
{
    return (HeaderBytes()[0] >> typeShift) & 0x7U;
}

void QvSAPPacket::SetMT(unsigned long value)
{
    SetHeaderBits(value, typeShift, 3);
}

unsigned long QvSAPPacket::GetE() const
{
    return (HeaderBytes()[0] >> encryptedShift) & 0x1U;
}

void QvSAPPacket::SetE(unsigned long value)
{
    SetHeaderBits(value, encryptedShift, 1);
}

unsigned long QvSAPPacket::GetC() const
{
    return (HeaderBytes()[0] >> compressedShift) & 0x1U;
}

void QvSAPPacket::SetC(unsigned long value)
{
    SetHeaderBits(value, compressedShift, 1);
}

unsigned long QvSAPPacket::GetAuthLen() const
{
    return HeaderBytes()[1];
}

void QvSAPPacket::SetAuthLen(unsigned long value)
{
    HeaderBytes()[1] = static_cast<unsigned char>(value & 0xFFU);
}

unsigned long QvSAPPacket::GetMsgIDHash() const
{
    return static_cast<unsigned long>(HeaderBytes()[2]) |
           (static_cast<unsigned long>(HeaderBytes()[3]) << 8);
}

void QvSAPPacket::SetMsgIDHash(unsigned long value)
{
    HeaderBytes()[2] = static_cast<unsigned char>(value & 0xFFU);
    HeaderBytes()[3] = static_cast<unsigned char>((value >> 8) & 0xFFU);
}

unsigned long QvSAPPacket::GetOrigSrc() const
{
    std::uint32_t stored = 0;
    std::memcpy(&stored, HeaderBytes() + 4, sizeof stored);
    return stored;
}

void QvSAPPacket::SetOrigSrc(unsigned long value)
{
    const auto stored = static_cast<std::uint32_t>(value & 0xFFFFFFFFUL);
    std::memcpy(HeaderBytes() + 4, &stored, sizeof stored);
}

bool QvSAPPacket::ValidateSession(const QvSAPPacket* packet)
{
    return packet != nullptr && ValidateSession(packet->GetPacketData());
}

bool QvSAPPacket::ValidateSession(const SAPPacket* header)
{
    if (header == nullptr) {
        return false;
    }
    const unsigned flags = header->flags;
    const bool encrypted = ((flags >> encryptedShift) & 1U) != 0;
    const bool compressed = ((flags >> compressedShift) & 1U) != 0;
    return !encrypted && !compressed && header->authLength == 0;
}

// ---- Writing the text ---------------------------------------------------------------

int QvSAPPacket::ConstructPacket()
{
    TextWriter writer(GetPayload(), static_cast<std::size_t>(GetPayloadSize()));
    WriteSessionLines(writer);
    // The media sections follow the flags as they stand once the session
    // lines are done.
    if (m_hasVideo) {
        WriteVideoLines(writer);
    }
    if (m_hasAudio) {
        WriteAudioLines(writer);
    }
    if (writer.WasCut()) {
        QvDebugMsg("SAP packet: SDP text cut after %zu bytes; the rest does not fit in %d",
                   writer.Length(), GetPayloadSize());
        return -1;
    }
    return 0;
}

void QvSAPPacket::WriteSessionLines(TextWriter& writer) const
{
    if (HasProp("SesProtoVer")) {
        writer.Line("v=%s\n", Prop("SesProtoVer"));
    }
    const char* const originNames[] = {"SesOUsername", "SesONetType", "SesOSesID",
                                       "SesOAddrType", "SesOVer",     "SesOAddr"};
    if (std::any_of(std::begin(originNames), std::end(originNames),
                    [this](const char* name) { return HasProp(name); })) {
        writer.Line("o=%s %s %s %s %s %s\n", Prop("SesOUsername"), Prop("SesOSesID"),
                    Prop("SesOVer"), Prop("SesONetType"), Prop("SesOAddrType"), Prop("SesOAddr"));
    }
    if (HasProp("SesSesName")) {
        writer.Line("s=%s\n", Prop("SesSesName"));
    }
    if (HasProp("SesSesDescript")) {
        writer.Line("i=%s\n", Prop("SesSesDescript"));
    }
    if (HasProp("SesEmail")) {
        writer.Line("e=%s\n", Prop("SesEmail"));
    }
    if (HasProp("SesPhone")) {
        writer.Line("p=%s\n", Prop("SesPhone"));
    }
    if (HasProp("SesCNetType") || HasProp("SesCAddrType") || HasProp("SesCConnAddr") ||
        HasProp("SesCTTL") || HasProp("Address")) {
        const char* address = HasProp("Address") ? Prop("Address") : Prop("SesCConnAddr");
        // A parsed connection without a TTL (a unicast one) is written as it
        // came, with no empty TTL after a '/'.
        if (m_state == State::Parsed && !HasProp("SesCTTL")) {
            writer.Line("c=%s %s %s\n", Prop("SesCNetType"), Prop("SesCAddrType"), address);
        } else {
            writer.Line("c=%s %s %s/%s\n", Prop("SesCNetType"), Prop("SesCAddrType"), address,
                        Prop("SesCTTL"));
        }
    }
    if (m_options.writeBitrateLine && HasProp("Bitrate")) {
        writer.Line("b=X-QV:%s\n", Prop("Bitrate"));
    } else if (HasProp("SesBWModifier")) {
        writer.Line("b=%s:%s\n", Prop("SesBWModifier"), Prop("SesBandwidth"));
    }
    // A parsed text keeps its stop time as SesEndTime: written again, the
    // t= line takes it from there, so it still has both its fields.
    const char* const stopName = HasProp("SesStopTime") ? "SesStopTime" : "SesEndTime";
    if (HasProp("SesStartTime") || HasProp(stopName)) {
        writer.Line("t=%s %s\n", Prop("SesStartTime"), Prop(stopName));
    }
    struct Attribute
    {
        const char* line; // the line up to its value
        const char* property;
    };
    static constexpr Attribute sessionAttributes[] = {
        {"a=opv-mux:", "SesOpvMux"},         {"a=opv-format:", "SesOpvFormat"},
        {"a=opv-retrans:", "SesOpvRetrans"}, {"a=opv-pktsize:", "SesOpvPktSize"},
        {"a=opv-channel:", "SesOpvChannel"}, {"a=packetformat:", "PacketFormat"},
        {"a=packetsize:", "PacketSize"},     {"a=mux:", "Mux"},
    };
    for (const Attribute& attribute : sessionAttributes) {
        if (HasProp(attribute.property)) {
            writer.Line("%s%s\n", attribute.line, Prop(attribute.property));
        }
    }
    WriteXAttributes(writer, "SX");
}

void QvSAPPacket::WriteVideoLines(TextWriter& writer) const
{
    if (HasProp("Port") || HasProp("VidPort")) {
        const char* port = HasProp("Port") ? Prop("Port") : Prop("VidPort");
        writer.Line("m=video %s %s %s\n", port, Prop("VidTransport"), Formats("VidFormats"));
    }
    WriteParsedLine(writer, "c=", "VidConnection");
    if (HasProp("VidBWModifier")) {
        writer.Line("b=%s:%s\n", Prop("VidBWModifier"), Prop("VidBandwidth"));
    }
    WriteParsedLine(writer, "a=rtpmap:", "VidRtpmap");
    WriteParsedLine(writer, "a=fmtp:", "VidFmtp");
    if (HasProp("VidOpvCompression")) {
        writer.Line("a=opv-compression:%s\n", Prop("VidOpvCompression"));
    }
    if (HasProp("VidOpvResolution")) {
        writer.Line("a=opv-resolution:%s\n", Prop("VidOpvResolution"));
    }
    if (HasProp("VidOpvAFF")) {
        writer.Line("a=opv-AFF:%s\n", Prop("VidOpvAFF"));
    }
    if (HasProp("VidOpvStandard")) {
        writer.Line("a=opv-standard:%s\n", Prop("VidOpvStandard"));
    }
    if (HasProp("VidOpvFilter")) {
        writer.Line("a=opv-filter:%s\n", Prop("VidOpvFilter"));
    }
    WriteXAttributes(writer, "VX");
}

void QvSAPPacket::WriteAudioLines(TextWriter& writer) const
{
    // A parsed audio section has a port of its own; the stream's data port
    // is the video section's.
    const bool ownPort = m_state == State::Parsed && HasProp("AudPort");
    if (ownPort || HasProp("Port") || HasProp("AudPort")) {
        const char* port = !ownPort && HasProp("Port") ? Prop("Port") : Prop("AudPort");
        writer.Line("m=audio %s %s %s\n", port, Prop("AudTransport"), Formats("AudFormats"));
    }
    WriteParsedLine(writer, "c=", "AudConnection");
    if (HasProp("AudBWModifier")) {
        // A parsed text keeps its audio bandwidth as AudBandwidth: written
        // again, the b= line takes it from there, so it keeps its value.
        const char* bandwidth = HasProp("AudOpvBandwidth") ? "AudOpvBandwidth" : "AudBandwidth";
        writer.Line("b=%s:%s\n", Prop("AudBWModifier"), Prop(bandwidth));
    }
    WriteParsedLine(writer, "a=rtpmap:", "AudRtpmap");
    WriteParsedLine(writer, "a=fmtp:", "AudFmtp");
    if (HasProp("AudOpvSample")) {
        writer.Line("a=opv-audiosample:%s\n", Prop("AudOpvSample"));
    }
    if (HasProp("AudOpvMode")) {
        writer.Line("a=opv-audiomode:%s\n", Prop("AudOpvMode"));
    }
    WriteXAttributes(writer, "AX");
}

const char* QvSAPPacket::Formats(const char* name) const
{
    // The system's own announcements name no format: "0".
    return HasProp(name) ? Prop(name) : "0";
}

void QvSAPPacket::WriteParsedLine(TextWriter& writer, const char* start,
                                  const char* name) const
{
    if (HasProp(name)) {
        writer.Line("%s%s\n", start, Prop(name));
    }
}

void QvSAPPacket::WriteXAttributes(TextWriter& writer, const char* prefix) const
{
    if (!m_options.writeXAttributes) {
        return;
    }
    // Stored names are upper case, so the prefix matches whatever case the
    // property was set in, and the attribute name comes out in lower case.
    for (const QvPropertyItem* item : *m_properties.GetListPtr()) {
        const char* name = item->GetName().chars();
        if (std::strncmp(name, prefix, 2) == 0) {
            writer.Line("a=x-%s:%s\n", toLower(UtCString(name + 2)).chars(),
                        item->GetValue().chars());
        }
    }
}

// ---- Parsing the text ---------------------------------------------------------------

int QvSAPPacket::BreakdownPacket()
{
    if (m_state == State::Parsed) {
        return 0;
    }
    m_state = State::Parsed;
    const std::string_view text = TextIn(GetPayload(), static_cast<std::size_t>(GetPayloadSize()));
    QvSdpParseOptions options;
    options.parseXAttributes = m_options.parseXAttributes;
    options.bitrateFromBandwidth = m_options.bitrateFromBandwidth;
    // The media sections written again are those the text had.
    const QvSdpMedia media = QvParseSdpText(text, m_properties, options);
    m_hasVideo = media.video;
    m_hasAudio = media.audio;
    return 0;
}
