#include "core/settings/qvsdptext.h"

#include "core/settings/qvproplist.h"
#include "platform/text.h"

#include <cstdint>
#include <unordered_map>

namespace {

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
            "Port", "VidTransport", "VidFormats", "VidConnection", "VidBWModifier",
            "VidBandwidth", "VidRtpmap", "VidFmtp", "VidOpvCompression", "VidOpvResolution",
            "VidOpvAFF", "VidOpvStandard", "VidOpvFilter", "AudPort", "AudTransport",
            "AudFormats", "AudConnection", "AudBWModifier", "AudBandwidth", "AudRtpmap",
            "AudFmtp", "AudOpvSample", "AudOpvMode"};
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

// One pass over a text; the section is where the last m= line put it.
class SdpReader
{
public:
    SdpReader(QvPropertyList& properties, const QvSdpParseOptions& options)
        : m_properties(properties), m_options(options)
    {
    }

    QvSdpMedia Read(std::string_view text);

private:
    enum class Section
    {
        Session,
        Video,
        Audio,
        Other,
    };
    // The names a video or an audio section stores its lines under.
    struct MediaNames
    {
        const char* port;
        const char* transport;
        const char* formats;
        const char* connection;
        const char* bwModifier;
        const char* bandwidth;
        const char* rtpmap;
        const char* fmtp;
        const char* xPrefix;
    };
    static constexpr MediaNames kVideo = {"VidPort",       "VidTransport", "VidFormats",
                                          "VidConnection", "VidBWModifier", "VidBandwidth",
                                          "VidRtpmap",     "VidFmtp",       "VX"};
    static constexpr MediaNames kAudio = {"AudPort",       "AudTransport", "AudFormats",
                                          "AudConnection", "AudBWModifier", "AudBandwidth",
                                          "AudRtpmap",     "AudFmtp",       "AX"};

    void Line(std::string_view line);
    void SessionLine(std::string_view line);
    void SessionAttribute(std::string_view name, std::string_view value);
    void MediaLine(std::string_view line, const MediaNames& names);
    bool MediaAttribute(std::string_view line, const MediaNames& names);
    void OtherMediaLine(std::string_view line);
    // Stores an "x-name" attribute under prefix + NAME; false when the
    // attribute is not an x- attribute.
    bool XAttribute(const char* prefix, std::string_view name, std::string_view value);
    void Store(const char* name, std::string_view value);

    QvPropertyList& m_properties;
    const QvSdpParseOptions& m_options;
    Section m_section = Section::Session;
    QvSdpMedia m_media;
};

QvSdpMedia SdpReader::Read(std::string_view text)
{
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         start = end + 1, end = text.find('\n', start)) {
        std::size_t lineLength = end - start;
        // Standard peers end their lines with CR LF; the CR is no part of
        // the last value.
        if (lineLength > 0 && text[end - 1] == '\r') {
            --lineLength;
        }
        Line(std::string_view(text.data() + start, lineLength));
    }
    // A last piece without a line feed may be a line cut off by the sender's
    // buffer; it is not read.
    return m_media;
}

void SdpReader::Line(std::string_view line)
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
        SessionLine(line);
        break;
    case Section::Video:
        m_media.video = true;
        MediaLine(line, kVideo);
        break;
    case Section::Audio:
        m_media.audio = true;
        MediaLine(line, kAudio);
        break;
    case Section::Other:
        OtherMediaLine(line);
        break;
    }
}

void SdpReader::SessionLine(std::string_view line)
{
    Tokens tokens;
    // Stores token `index` (1-based, the line's letter being token 1) under
    // `name`; false when the line has no such token, which ends the line.
    auto store = [&](std::size_t index, const char* name) {
        if (index > tokens.size()) {
            return false;
        }
        Store(name, tokens[index - 1]);
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
        Store("SesSesName", RestOfLine(line));
        break;
    case 'i':
        Store("SesSesDescript", RestOfLine(line));
        break;
    case 'e':
        Store("SesEmail", RestOfLine(line));
        break;
    case 'p':
        Store("SesPhone", RestOfLine(line));
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
}

void SdpReader::SessionAttribute(std::string_view name, std::string_view value)
{
    if (name == "mux") {
        Store("Mux", value);
    } else if (name == "packetformat") {
        Store("PacketFormat", value);
    } else if (name == "packetsize") {
        Store("PacketSize", value);
    } else if (name == "opv-mux") {
        Store("SesOpvMux", value);
        Store("Mux", value);
    } else if (name == "opv-format") {
        Store("SesOpvFormat", value);
        Store("PacketFormat", value);
    } else if (name == "opv-retrans") {
        Store("SesOpvRetrans", value);
    } else if (name == "opv-pktsize") {
        Store("SesOpvPktSize", value);
        Store("PacketSize", value);
    } else if (name == "opv-channel") {
        Store("SesOpvChannel", value);
    } else {
        XAttribute("SX", name, value);
    }
}

void SdpReader::MediaLine(std::string_view line, const MediaNames& names)
{
    switch (Letter(line)) {
    case 'm': {
        const Tokens tokens = Split(line, "= ");
        // Token 2 is the media name. A video line's port is also the
        // stream's data port; an audio line's is not.
        if (tokens.size() < 3) {
            break;
        }
        Store(names.port, tokens[2]);
        if (&names == &kVideo) {
            Store("Port", tokens[2]);
        }
        if (tokens.size() < 4) {
            break;
        }
        Store(names.transport, tokens[3]);
        const std::string_view transport = tokens[3];
        const std::size_t after = static_cast<std::size_t>(transport.data() - line.data()) +
                                  transport.size();
        const std::string_view formats = qvplat::Trim(line.substr(after));
        if (!formats.empty()) {
            Store(names.formats, formats);
        }
        break;
    }
    case 'c': {
        const std::string_view connection = qvplat::Trim(RestOfLine(line));
        if (!connection.empty()) {
            Store(names.connection, connection);
        }
        break;
    }
    case 'b': {
        const Tokens tokens = Split(line, "=:");
        if (tokens.size() >= 2) {
            Store(names.bwModifier, tokens[1]);
            if (tokens.size() >= 3) {
                Store(names.bandwidth, tokens[2]);
            }
        }
        break;
    }
    case 'a':
        MediaAttribute(line, names);
        break;
    default:
        break;
    }
}

bool SdpReader::MediaAttribute(std::string_view line, const MediaNames& names)
{
    // Payload maps and format parameters keep their whole value: format
    // parameters hold '=' themselves.
    for (const auto& [prefix, name] : {std::pair{std::string_view("a=rtpmap:"), names.rtpmap},
                                       std::pair{std::string_view("a=fmtp:"), names.fmtp}}) {
        if (line.starts_with(prefix)) {
            const std::string_view value = qvplat::Trim(line.substr(prefix.size()));
            if (!value.empty()) {
                Store(name, value);
            }
            return true;
        }
    }
    const Tokens tokens = Split(line, "=:");
    if (tokens.size() < 3) {
        return false;
    }
    const std::string_view name = tokens[1];
    const std::string_view value = tokens[2];
    struct Known
    {
        std::string_view attribute;
        const char* property;
    };
    static constexpr Known video[] = {{"opv-compression", "VidOpvCompression"},
                                      {"opv-resolution", "VidOpvResolution"},
                                      {"opv-AFF", "VidOpvAFF"},
                                      {"opv-standard", "VidOpvStandard"},
                                      {"opv-filter", "VidOpvFilter"}};
    static constexpr Known audio[] = {{"opv-audiosample", "AudOpvSample"},
                                      {"opv-audiomode", "AudOpvMode"}};
    const auto find = [&](const auto& table) {
        for (const Known& known : table) {
            if (name == known.attribute) {
                Store(known.property, value);
                return true;
            }
        }
        return false;
    };
    if (&names == &kVideo ? find(video) : find(audio)) {
        return true;
    }
    return XAttribute(names.xPrefix, name, value);
}

void SdpReader::OtherMediaLine(std::string_view line)
{
    if (Letter(line) != 'm') {
        return;
    }
    const Tokens tokens = Split(line, "= ");
    if (tokens.size() >= 3) {
        Store("Port", tokens[2]);
        Store("VidPort", tokens[2]);
        Store("AudPort", tokens[2]);
        if (tokens.size() >= 4) {
            Store("AudTransport", tokens[3]);
            Store("VidTransport", tokens[3]);
        }
    }
}

bool SdpReader::XAttribute(const char* prefix, std::string_view name, std::string_view value)
{
    if (!m_options.parseXAttributes || !name.starts_with("x-")) {
        return false;
    }
    const UtCString rest(name.data() + 2, static_cast<std::uint32_t>(name.size() - 2));
    const UtCString property = UtCString(prefix) + toUpper(rest);
    Store(property.chars(), value);
    return true;
}

void SdpReader::Store(const char* name, std::string_view value)
{
    const UtCString& known = FieldName(name);
    m_properties.AddProperty(known.length() != 0 ? known : UtCString(name),
                             UtCString(value.data(), static_cast<std::uint32_t>(value.size())));
}

} // namespace

QvSdpMedia QvParseSdpText(std::string_view text, QvPropertyList& properties,
                          const QvSdpParseOptions& options)
{
    return SdpReader(properties, options).Read(text);
}

QvSdpEndpoint QvReadSdpEndpoint(const UtCString& sdp)
{
    QvSdpEndpoint endpoint;
    const std::string_view text(sdp.chars());
    endpoint.fits = text.size() <= static_cast<std::size_t>(endpoint.room);
    if (!endpoint.fits) {
        return endpoint;
    }
    QvPropertyList properties;
    QvParseSdpText(text, properties);
    endpoint.address = properties.GetProperty("Address");
    endpoint.port = properties.GetProperty("Port");
    endpoint.mux = properties.GetProperty("Mux");
    endpoint.packetFormat = properties.GetProperty("PacketFormat");
    return endpoint;
}
