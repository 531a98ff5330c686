#pragma once
// One session announcement: a SAP version 1 packet and its SDP text.
//
// The packet is one fixed buffer: an 8-byte SAP header followed by a text
// area that holds the SDP description as ASCII lines ended by a line feed and
// terminated by a NUL byte. Beside the buffer the packet keeps a property list
// of the SDP fields under the system's session vocabulary (names beginning
// with Ses, Vid and Aud, plus Address, Port, Bitrate, Mux, PacketFormat and
// PacketSize).
//
// A sender sets properties with SetPropA and writes the text with
// ConstructPacket; a receiver fills the buffer (FillFromDatagram, SetSdpText,
// or InBuffer followed by BufferFilled) and reads fields with GetPropA, which
// parses the text on first use (core/settings/qvsdptext.h). After a parse
// the properties are authoritative: OutBuffer rebuilds the text from them
// before handing the buffer out, and the rebuilt text names the streams the
// parsed one did: the same media sections with their ports, transports,
// format lists, connections and payload maps.
//
// The buffer is zero-filled when made, and its last byte is always a NUL, so
// the text is terminated whatever a receiver wrote into it. The writer never
// goes past the text area: it stops after the last line that fits.
//
// A packet has no lock; it belongs to one thread at a time.

#include "core/qvexport.h"
#include "core/settings/qvproplist.h"
#include "core/strings/utstring.h"

#include <cstddef>
#include <memory>
#include <string_view>

// The SAP header as it lies at the start of the buffer (wire format).
struct SAPPacket
{
    // Bits 7-5 version, bits 4-2 message type (0 announcement, 1 deletion),
    // bit 1 payload encrypted, bit 0 payload compressed.
    unsigned char flags;
    // Length of the authentication data in 32-bit words.
    unsigned char authLength;
    // Message identifier hash, least significant byte first.
    unsigned char msgIdHash[2];
    // Originating source, the four bytes of the value as the owner gave it
    // (an IPv4 address in network byte order).
    unsigned char origSrc[4];
};

static_assert(sizeof(SAPPacket) == 8, "the SAP header is 8 bytes on the wire");

// The buffer size and the SDP dialect of a packet. The directory programs
// (channel list, program monitor) use a smaller buffer and a narrower dialect
// than the core library; everything else uses Standard().
struct QvSAPPacketOptions
{
    static constexpr int headerSize = 8;
    static constexpr int standardPacketSize = 1058; // 1050 text bytes
    static constexpr int compactPacketSize = 1032;  // 1024 text bytes

    // Header plus text area, in bytes; values below headerSize + 1 are raised
    // to it.
    int packetSize = standardPacketSize;
    // The parser stores "a=x-name:value" attributes as SX/VX/AX properties.
    bool parseXAttributes = true;
    // The writer emits an "a=x-name:value" line for every SX/VX/AX property.
    bool writeXAttributes = true;
    // The parser also stores the session b= value as Bitrate.
    bool bitrateFromBandwidth = true;
    // The writer emits Bitrate as "b=X-QV:value" in place of the session
    // bandwidth line.
    bool writeBitrateLine = true;

    // The core library's packet: 1058 bytes, every x- and bit-rate rule.
    static constexpr QvSAPPacketOptions Standard() { return {}; }
    // The channel list's packet: 1032 bytes; x- attributes are not parsed.
    static constexpr QvSAPPacketOptions ChannelList()
    {
        QvSAPPacketOptions options;
        options.packetSize = compactPacketSize;
        options.parseXAttributes = false;
        return options;
    }
    // The program monitor's packet: 1032 bytes; no x- attributes either way,
    // no Bitrate from b= and no "b=X-QV" line.
    static constexpr QvSAPPacketOptions Monitor()
    {
        QvSAPPacketOptions options;
        options.packetSize = compactPacketSize;
        options.parseXAttributes = false;
        options.writeXAttributes = false;
        options.bitrateFromBandwidth = false;
        options.writeBitrateLine = false;
        return options;
    }
};

class QV_API QvSAPPacket
{
public:
    // An empty packet: zero-filled buffer, no properties, no media sections.
    QvSAPPacket();
    explicit QvSAPPacket(const QvSAPPacketOptions& options);
    // The raw bytes of a datagram (header and text, as they came in); at most
    // the buffer size is copied, the rest stays zero, and the text is
    // NUL-terminated within its area. Then BufferFilled.
    QvSAPPacket(const char* datagram, std::size_t length,
                const QvSAPPacketOptions& options = QvSAPPacketOptions::Standard());
    // Full copies: buffer (header and text), properties, state and options.
    QvSAPPacket(const QvSAPPacket& other);
    QvSAPPacket& operator=(const QvSAPPacket& other);
    ~QvSAPPacket();

    // ---- The buffer --------------------------------------------------------------
    // The buffer, header first, for a receiver to fill (GetPacketSize bytes;
    // call BufferFilled afterwards).
    char* InBuffer() { return m_buffer.get(); }
    // The header record at the start of the buffer.
    SAPPacket* GetPacketData();
    const SAPPacket* GetPacketData() const;
    // The text area (GetPayloadSize bytes, including the terminating NUL).
    char* GetPayload() { return m_buffer.get() + QvSAPPacketOptions::headerSize; }
    const char* GetPayload() const { return m_buffer.get() + QvSAPPacketOptions::headerSize; }
    // 1058 for the standard packet, 1032 for the compact one.
    int GetPacketSize() const { return m_options.packetSize; }
    int GetPayloadSize() const { return m_options.packetSize - QvSAPPacketOptions::headerSize; }
    // After a parse, rebuilds the text from the properties first; then the
    // buffer.
    char* OutBuffer();
    // What goes on the wire: the header, the text and its terminating NUL.
    int GetDatagramLength() const;
    const QvSAPPacketOptions& GetOptions() const { return m_options; }

    // ---- Filling -----------------------------------------------------------------
    // To be called after the buffer was written through InBuffer or
    // GetPayload: terminates the text within its area, marks the text as not
    // yet parsed and sets the media flags from the "m=video" and "m=audio"
    // markers in it. Properties of an earlier parse stay unless the new text
    // sets them again.
    void BufferFilled();
    // Takes a received SAP datagram: the header, then the payload after any
    // authentication data. A payload that begins with "v=" is the SDP text;
    // otherwise a NUL-terminated payload type may precede the text (RFC 2974)
    // and only "application/sdp" (any case) is accepted. An empty payload is
    // an empty text. Returns false, leaving the packet unchanged, for a
    // datagram shorter than its header and authentication data or of another
    // payload type; otherwise copies the header and the text (cut to the text
    // area) and calls BufferFilled. The header is kept as received, so
    // ValidateSession still sees encryption, compression and authentication.
    bool FillFromDatagram(const void* data, std::size_t length);
    // Places an SDP text behind the header (the header is left alone) and
    // calls BufferFilled. Returns false when the text had to be cut to fit
    // the text area.
    bool SetSdpText(const char* text);

    // ---- Writing the text --------------------------------------------------------
    // Writes the text area from the properties; the header and the parse
    // state are left alone. Returns 0, or -1 when the lines did not all fit:
    // then the text ends after the last whole line that did and the cut is
    // written to the debug log.
    int ConstructPacket();

    // ---- Properties --------------------------------------------------------------
    // The value of a property (names ignore case), parsing a freshly filled
    // text first; an empty text when absent. The pointer stays valid until
    // the property is changed.
    const char* GetPropA(const char* name);
    // Adds or replaces a property, parsing a freshly filled text first. A name
    // whose first character is 'V' marks the packet as carrying video, one
    // beginning with 'A' (Address included) as carrying audio.
    void SetPropA(const char* name, const char* value);
    // The media sections the text is written with: after a parse, those the
    // parsed text had (a section of another medium is neither).
    bool HasVideo() const { return m_hasVideo; }
    bool HasAudio() const { return m_hasAudio; }

    // ---- Header ------------------------------------------------------------------
    // Version 1, type announcement (first byte 0x20) or deletion (0x24), no
    // encryption or compression, no authentication; hash and origin unchanged.
    void InitAnnouncement();
    void InitDeletion();
    // One field each; a setter keeps only the field's width (3, 3, 1, 1, 8,
    // 16 and 32 bits) and leaves the other fields alone.
    unsigned long GetV() const;
    void SetV(unsigned long value);
    unsigned long GetMT() const;
    void SetMT(unsigned long value);
    unsigned long GetE() const;
    void SetE(unsigned long value);
    unsigned long GetC() const;
    void SetC(unsigned long value);
    unsigned long GetAuthLen() const;
    void SetAuthLen(unsigned long value);
    unsigned long GetMsgIDHash() const;
    void SetMsgIDHash(unsigned long value);
    // The four origin bytes read back as the value they were stored from.
    unsigned long GetOrigSrc() const;
    void SetOrigSrc(unsigned long value);

    // True when the payload is neither encrypted nor compressed and carries no
    // authentication data; version and message type are not examined. False
    // for a null pointer.
    static bool ValidateSession(const QvSAPPacket* packet);
    static bool ValidateSession(const SAPPacket* header);

private:
    enum class State
    {
        New,    // constructed empty; the properties are authoritative
        Filled, // the buffer holds a text not yet parsed
        Parsed, // the properties came from the text and now rule it
    };
    void Allocate();
    unsigned char* HeaderBytes() { return reinterpret_cast<unsigned char*>(m_buffer.get()); }
    const unsigned char* HeaderBytes() const
    {
        return reinterpret_cast<const unsigned char*>(m_buffer.get());
    }
    void SetHeaderBits(unsigned long value, unsigned shift, unsigned width);
    void ParseIfFilled();
    const char* Prop(const char* name) const;
    bool HasProp(const char* name) const;

    // Appends formatted lines to the text area while they fit.
    class TextWriter;
    void WriteSessionLines(TextWriter& writer) const;
    void WriteVideoLines(TextWriter& writer) const;
    void WriteAudioLines(TextWriter& writer) const;
    void WriteXAttributes(TextWriter& writer, const char* prefix) const;
    // The format list of a media line: the parsed one, else "0".
    const char* Formats(const char* name) const;
    // A line that only a parsed text has (a media section's own connection,
    // payload map and format parameters): `start` and the value, when set.
    void WriteParsedLine(TextWriter& writer, const char* start, const char* name) const;

    // Parses the text once after each fill.
    int BreakdownPacket();

    // The packet buffer: inside the object for the standard and compact
    // sizes, so that a packet costs no allocation of its own; on the heap
    // for a larger one.
    class Buffer
    {
    public:
        Buffer() = default;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        // Room for `size` bytes, zero-filled.
        void Reset(std::size_t size);
        char* get() const { return m_data; }
        char& operator[](std::size_t i) const { return m_data[i]; }

    private:
        std::unique_ptr<char[]> m_heap;
        char m_inline[QvSAPPacketOptions::standardPacketSize] = {};
        char* m_data = m_inline;
    };

    QvPropertyList m_properties;
    Buffer m_buffer;
    QvSAPPacketOptions m_options;
    State m_state = State::New;
    bool m_hasAudio = false;
    bool m_hasVideo = false;
};
