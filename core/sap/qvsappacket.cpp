#include "core/sap/qvsappacket.h"

#include "core/settings/qvlog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <unordered_map>
#include <vector>

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

// The runs of a line between delimiter characters; tokens[0] is the line's
// letter. Only the first few are kept (no line needs more), the count stops
// there too.
struct Tokens
{
    static constexpr std::size_t kMax = 8;
    std::string_view items[kMax];
    std::size_t count = 0;

    std::size_t size() const { return count; }
    std::string_view operator[](std::size_t i) const { return items[i]; }
};

Tokens Split(std::string_view line, const char* delimiters)
{
    bool delimiter[256] = {};
    for (const char* d = delimiters; *d != '\0'; ++d) {
        delimiter[static_cast<unsigned char>(*d)] = true;
    }
    const auto isDelimiter = [&](char c) { return delimiter[static_cast<unsigned char>(c)]; };
    Tokens tokens;
    std::size_t at = 0;
    const std::size_t size = line.size();
    while (tokens.count < Tokens::kMax) {
        while (at < size && isDelimiter(line[at])) {
            ++at;
        }
        if (at == size) {
            break;
        }
        const std::size_t start = at;
        while (at < size && !isDelimiter(line[at])) {
            ++at;
        }
        tokens.items[tokens.count++] = line.substr(start, at - start);
    }
    return tokens;
}

// Everything after a line's first two characters ("s=").
std::string_view RestOfLine(std::string_view line)
{
    return line.size() >= 2 ? line.substr(2) : std::string_view();
}

char Letter(std::string_view line)
{
    return line.empty() ? '\0' : line[0];
}

// The names the parser stores, made once: filing a field then shares the
// name's text instead of making it again.
const UtCString& FieldName(const char* name)
{
    static const auto* const names = [] {
        static const char* const known[] = {
            "SesProtoVer", "SesOUsername", "SesOSesID", "SesOVer", "SesONetType",
            "SesOAddrType", "SesOAddr", "SesSesName", "SesSesDescript", "SesEmail",
            "SesPhone", "SesCNetType", "SesCAddrType", "SesCConnAddr", "Address",
            "SesCTTL", "SesBWModifier", "SesBandwidth", "Bitrate", "SesStartTime",
            "SesEndTime", "Mux", "PacketFormat", "PacketSize", "SesOpvMux",
            "SesOpvFormat", "SesOpvRetrans", "SesOpvPktSize", "SesOpvChannel", "VidPort",
            "Port", "VidTransport", "VidBWModifier", "VidBandwidth", "VidOpvCompression",
            "VidOpvResolution", "VidOpvAFF", "VidOpvStandard", "VidOpvFilter", "AudPort",
            "AudTransport", "AudBWModifier", "AudBandwidth", "AudOpvSample", "AudOpvMode"};
        auto* table = new std::unordered_map<std::string_view, UtCString>;
        for (const char* field : known) {
            table->emplace(field, toUpper(UtCString(field)));
        }
        return table;
    }();
    static const UtCString none;
    const auto found = names->find(name);
    return found != names->end() ? found->second : none;
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
    : m_properties(other.m_properties), m_options(other.m_options), m_section(other.m_section),
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
    m_section = other.m_section;
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
    m_section = Section::Session;
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
        writer.Line("c=%s %s %s/%s\n", Prop("SesCNetType"), Prop("SesCAddrType"), address,
                    Prop("SesCTTL"));
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
        writer.Line("m=video %s %s 0\n", port, Prop("VidTransport"));
    }
    if (HasProp("VidBWModifier")) {
        writer.Line("b=%s:%s\n", Prop("VidBWModifier"), Prop("VidBandwidth"));
    }
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
    if (HasProp("Port") || HasProp("AudPort")) {
        const char* port = HasProp("Port") ? Prop("Port") : Prop("AudPort");
        writer.Line("m=audio %s %s 0\n", port, Prop("AudTransport"));
    }
    if (HasProp("AudBWModifier")) {
        writer.Line("b=%s:%s\n", Prop("AudBWModifier"), Prop("AudOpvBandwidth"));
    }
    if (HasProp("AudOpvSample")) {
        writer.Line("a=opv-audiosample:%s\n", Prop("AudOpvSample"));
    }
    if (HasProp("AudOpvMode")) {
        writer.Line("a=opv-audiomode:%s\n", Prop("AudOpvMode"));
    }
    WriteXAttributes(writer, "AX");
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
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         start = end + 1, end = text.find('\n', start)) {
        std::size_t lineLength = end - start;
        // Standard peers end their lines with CR LF; the CR is no part of
        // the last value.
        if (lineLength > 0 && text[end - 1] == '\r') {
            --lineLength;
        }
        BreakdownDescriptor(std::string_view(text.data() + start, lineLength));
    }
    // A last piece without a line feed may be a line cut off by the sender's
    // buffer; it is not parsed.
    return 0;
}

int QvSAPPacket::BreakdownDescriptor(std::string_view line)
{
    if (Letter(line) == 'm') {
        if (line.starts_with("m=video")) {
            m_section = Section::Video;
        } else if (line.starts_with("m=audio")) {
            m_section = Section::Audio;
        } else {
            m_section = Section::Other;
        }
    }
    switch (m_section) {
    case Section::Session:
        return SessionDescriptor(line);
    case Section::Video:
        return VideoDescriptor(line);
    case Section::Audio:
        return AudioDescriptor(line);
    case Section::Other:
        return UnknownDescriptor(line);
    }
    return 0;
}

int QvSAPPacket::SessionDescriptor(std::string_view line)
{
    Tokens tokens;
    // Stores token `index` (1-based, the line's letter being token 1) under
    // `name`; false when the line has no such token, which ends the line.
    auto store = [&](std::size_t index, const char* name) {
        if (index > tokens.size()) {
            return false;
        }
        StoreProp(name, tokens[index - 1]);
        return true;
    };

    switch (Letter(line)) {
    case 'v':
        tokens = Split(line, "=");
        store(2, "SesProtoVer");
        break;
    case 'o':
        tokens = Split(line, "= ");
        store(2, "SesOUsername") && store(3, "SesOSesID") && store(4, "SesOVer") &&
            store(5, "SesONetType") && store(6, "SesOAddrType") && store(7, "SesOAddr");
        break;
    case 's':
        StoreProp("SesSesName", RestOfLine(line));
        break;
    case 'i':
        StoreProp("SesSesDescript", RestOfLine(line));
        break;
    case 'e':
        StoreProp("SesEmail", RestOfLine(line));
        break;
    case 'p':
        StoreProp("SesPhone", RestOfLine(line));
        break;
    case 'c':
        tokens = Split(line, "= /");
        store(2, "SesCNetType") && store(3, "SesCAddrType") && store(4, "SesCConnAddr") &&
            store(4, "Address") && store(5, "SesCTTL");
        break;
    case 'b':
        tokens = Split(line, "=:");
        store(2, "SesBWModifier") && store(3, "SesBandwidth") &&
            (!m_options.bitrateFromBandwidth || store(3, "Bitrate"));
        break;
    case 't':
        tokens = Split(line, "= ");
        store(2, "SesStartTime") && store(3, "SesEndTime");
        break;
    case 'a':
        tokens = Split(line, "=:");
        if (tokens.size() >= 3) {
            SessionAttribute(tokens[1], tokens[2]);
        }
        break;
    default:
        break;
    }
    return 0;
}

void QvSAPPacket::SessionAttribute(std::string_view name, std::string_view value)
{
    const std::string_view text = value;
    if (name == "mux") {
        StoreProp("Mux", text);
    } else if (name == "packetformat") {
        StoreProp("PacketFormat", text);
    } else if (name == "packetsize") {
        StoreProp("PacketSize", text);
    } else if (name == "opv-mux") {
        StoreProp("SesOpvMux", text);
        StoreProp("Mux", text);
    } else if (name == "opv-format") {
        StoreProp("SesOpvFormat", text);
        StoreProp("PacketFormat", text);
    } else if (name == "opv-retrans") {
        StoreProp("SesOpvRetrans", text);
    } else if (name == "opv-pktsize") {
        StoreProp("SesOpvPktSize", text);
        StoreProp("PacketSize", text);
    } else if (name == "opv-channel") {
        StoreProp("SesOpvChannel", text);
    } else {
        XAttribute("SX", name, value);
    }
}

bool QvSAPPacket::XAttribute(const char* prefix, std::string_view name, std::string_view value)
{
    if (!m_options.parseXAttributes || !name.starts_with("x-")) {
        return false;
    }
    const UtCString rest(name.data() + 2, static_cast<std::uint32_t>(name.size() - 2));
    const UtCString property = UtCString(prefix) + toUpper(rest);
    StoreProp(property.chars(), value);
    return true;
}

void QvSAPPacket::StoreProp(const char* name, std::string_view value)
{
    // As SetPropA: the first letter of the name marks video or audio.
    if (name[0] == 'V') {
        m_hasVideo = true;
    } else if (name[0] == 'A') {
        m_hasAudio = true;
    }
    const UtCString& known = FieldName(name);
    m_properties.AddProperty(known.length() != 0 ? known : UtCString(name),
                             UtCString(value.data(), static_cast<std::uint32_t>(value.size())));
}

int QvSAPPacket::VideoDescriptor(std::string_view line)
{
    m_hasVideo = true;
    Tokens tokens;
    auto store = [&](std::size_t index, const char* name) {
        if (index > tokens.size()) {
            return false;
        }
        StoreProp(name, tokens[index - 1]);
        return true;
    };

    switch (Letter(line)) {
    case 'm':
        tokens = Split(line, "= ");
        // Token 2 is the media name; the format list after the transport is
        // not used.
        store(3, "VidPort") && store(3, "Port") && store(4, "VidTransport");
        break;
    case 'b':
        tokens = Split(line, "=:");
        store(2, "VidBWModifier") && store(3, "VidBandwidth");
        break;
    case 'a': {
        tokens = Split(line, "=:");
        if (tokens.size() < 3) {
            break;
        }
        const std::string_view name = tokens[1];
        const std::string_view value = tokens[2];
        if (name == "opv-compression") {
            StoreProp("VidOpvCompression", value);
        } else if (name == "opv-resolution") {
            StoreProp("VidOpvResolution", value);
        } else if (name == "opv-AFF") {
            StoreProp("VidOpvAFF", value);
        } else if (name == "opv-standard") {
            StoreProp("VidOpvStandard", value);
        } else if (name == "opv-filter") {
            StoreProp("VidOpvFilter", value);
        } else {
            XAttribute("VX", name, tokens[2]);
        }
        break;
    }
    default:
        break;
    }
    return 0;
}

int QvSAPPacket::AudioDescriptor(std::string_view line)
{
    m_hasAudio = true;
    Tokens tokens;
    auto store = [&](std::size_t index, const char* name) {
        if (index > tokens.size()) {
            return false;
        }
        StoreProp(name, tokens[index - 1]);
        return true;
    };

    switch (Letter(line)) {
    case 'm':
        tokens = Split(line, "= ");
        store(3, "AudPort") && store(4, "AudTransport");
        break;
    case 'b':
        tokens = Split(line, "=:");
        store(2, "AudBWModifier") && store(3, "AudBandwidth");
        break;
    case 'a': {
        tokens = Split(line, "=:");
        if (tokens.size() < 3) {
            break;
        }
        const std::string_view name = tokens[1];
        const std::string_view value = tokens[2];
        if (name == "opv-audiosample") {
            StoreProp("AudOpvSample", value);
        } else if (name == "opv-audiomode") {
            StoreProp("AudOpvMode", value);
        } else {
            XAttribute("AX", name, tokens[2]);
        }
        break;
    }
    default:
        break;
    }
    return 0;
}

int QvSAPPacket::UnknownDescriptor(std::string_view line)
{
    if (Letter(line) != 'm') {
        return 0;
    }
    const Tokens tokens = Split(line, "= ");
    if (tokens.size() >= 3) {
        StoreProp("Port", tokens[2]);
        StoreProp("VidPort", tokens[2]);
        StoreProp("AudPort", tokens[2]);
        if (tokens.size() >= 4) {
            StoreProp("AudTransport", tokens[3]);
            StoreProp("VidTransport", tokens[3]);
        }
    }
    m_hasVideo = true;
    m_hasAudio = true;
    return 0;
}
