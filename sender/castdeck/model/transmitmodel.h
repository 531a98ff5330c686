#pragma once
// The behaviour of castdeck's transmission panel, free of any window code.
//
// Each document window of castdeck holds one transmission panel: the user
// picks an MPEG file, sees its stream type and bit rate, sets destination,
// TTL, interface, packet format, looping and announcement, and starts and
// stops the transmission. TransmitModel keeps everything the panel's controls
// show and does everything its buttons, its file name field and its
// one-second timer do; the window only forwards the user's edits and events
// to it and shows its state afterwards. What the panel needs from the rest of
// the program (the path of a file dropped on the main frame, its document, a
// message box) it asks of a TransmitPanelHost.
//
// All calls come from one thread (the user-interface thread). The
// transmitter's own threads are only read through its payload count, file
// size and finished flag, on the timer.

#include "sender/transmit/xmitmpeg.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace castdeck {

// Counters shared by all panels of the process.
struct DeckState
{
    static constexpr int kFirstPort = 2010;

    // The port proposed to the next panel; each panel takes one.
    int nextPort = kFirstPort;
    // Raised by each transmitting panel's timer; its parity blinks the mark
    // in the status text.
    unsigned timerTicks = 0;
    // Panels now transmitting; the main frame asks before it closes while
    // this is not 0.
    int transmitting = 0;
};

// What a panel asks of the program around it.
class TransmitPanelHost
{
public:
    virtual ~TransmitPanelHost() = default;

    // The path of a file dropped on the main frame, which the call takes
    // (the frame holds none afterwards); "" when none is held.
    virtual std::string TakeDroppedPath() = 0;
    // Makes the path the panel's document's path and title; the path joins
    // the recent-file list.
    virtual void SetDocumentPath(const std::string& path) = 0;
    // A modal error message box.
    virtual void ShowError(const std::string& text) = 0;
};

// A destination as the panel's address and port fields give it.
struct TransmitTarget
{
    std::uint32_t address = 0; // network byte order
    unsigned port = 0;         // 1..65535
};

// Parses a dotted IPv4 address (exactly four decimal parts) and a decimal
// port in 1..65535; blanks around either are ignored. Anything else gives
// nothing, so a mistyped field never becomes some other address.
std::optional<TransmitTarget> ParseTarget(std::string_view address, std::string_view port);

class TransmitModel
{
public:
    // Texts the panel shows.
    static constexpr const char* kAnyInterface = "Any";
    static constexpr const char* kStartText = "Start Transmission";
    static constexpr const char* kStopText = "Stop Transmission";
    static constexpr const char* kDefaultAddress = "225.1.1.1";
    static constexpr int kDefaultTtlSelection = 4;          // "Region"
    static constexpr int kDefaultPacketFormatSelection = 2; // "QVS"
    static constexpr int kPacketFormatRaw = 0;
    static constexpr int kPacketFormatOpv = 1;
    static constexpr int kPacketFormatQvs = 2;
    static constexpr std::uint32_t kRewindPauseMs = 5000;

    // Takes the next port of the shared counters and the host's interface
    // addresses (QvHostAddresses).
    TransmitModel(DeckState& state, TransmitPanelHost& host);
    // Stops a running transmission the way the Stop button does, so the
    // shared transmitting count falls, and deletes the transmitter.
    ~TransmitModel();

    TransmitModel(const TransmitModel&) = delete;
    TransmitModel& operator=(const TransmitModel&) = delete;

    // ---- What the controls show -------------------------------------------------------
    const std::string& Path() const { return m_path; }
    // "Any" and the host's addresses, sorted as a sorted list box sorts them.
    const std::vector<std::string>& Interfaces() const { return m_interfaces; }
    int InterfaceSelection() const { return m_interfaceSelection; }
    const std::string& MuxText() const { return m_muxText; }
    const std::string& BitrateText() const { return m_bitrateText; }
    const std::string& Address() const { return m_address; }
    const std::string& Port() const { return m_port; }
    // "All", "Host", "Subnet", "Site", "Region", "Continent".
    static const std::vector<std::string>& TtlChoices();
    int TtlSelection() const { return m_ttlSelection; }
    bool Rewind() const { return m_rewind; }
    bool Sap() const { return m_sap; }
    // "RAW", "OPV" and, except for transport streams, "QVS".
    const std::vector<std::string>& PacketFormats() const { return m_packetFormats; }
    int PacketFormatSelection() const { return m_packetFormatSelection; }
    // The text of the status field, which the timer refreshes from StatusText
    // once a second.
    const std::string& StatusField() const { return m_statusField; }
    // The status text that the next timer tick shows.
    const std::string& StatusText() const { return m_status; }
    // Share of the file sent in this pass, 0..100.
    int Progress() const { return m_progress; }
    const std::string& StartButtonText() const { return m_buttonText; }
    // Every control but the status field, the progress bar and the Start
    // button.
    bool InputsEnabled() const { return m_inputsEnabled; }
    bool StartEnabled() const { return m_startEnabled; }
    // Grows whenever the content of a list (interfaces, packet formats)
    // changes, so a window refills its lists only then.
    unsigned ListRevision() const { return m_listRevision; }

    // ---- State ------------------------------------------------------------------------
    bool IsTransmitting() const { return m_transmitting; }
    // 1..4 after an analysis (qvmpeg::StreamType), -1 before and when the
    // file could not be read.
    int StreamType() const { return m_streamType; }
    bool FileError() const { return m_fileError; }
    std::uint64_t Bitrate() const { return m_bitrate; }
    // Null until a file of a known stream type was analysed.
    XmitMPEG* Transmitter() const { return m_transmitter.get(); }

    // ---- The user's edits -------------------------------------------------------------
    void SetPath(std::string path) { m_path = std::move(path); }
    void SetAddress(std::string address) { m_address = std::move(address); }
    void SetPort(std::string port) { m_port = std::move(port); }
    void SelectInterface(int index);
    void SelectTtl(int index);
    void SetRewind(bool on) { m_rewind = on; }
    void SetSap(bool on) { m_sap = on; }
    void SelectPacketFormat(int index);

    // ---- Events -----------------------------------------------------------------------
    // The file name field lost the focus: a path dropped on the main frame
    // is taken into the field and given to the document; then a non-empty
    // field is analysed.
    void OnPathFocusLost();
    // The browse dialog returned a path: into the field, to the document,
    // and analysed.
    void OnFileChosen(const std::string& path);
    // The document's path changed (it was opened, or a view was added to
    // it): the field shows it and a non-empty path is analysed at once, so
    // an opened file is ready to send. A transmitting panel keeps its file
    // and takes the new path when the transmission ends.
    void OnDocumentPath(const std::string& path);
    // The Start/Stop button.
    void OnStartStop();
    // The one-second timer.
    void OnTimer();

    // Analyses the file of the path field: stream type, transmitter, bit
    // rate, packet-format choices.
    void Analyse();
    // Starts a transmission with the panel's settings; true when it runs.
    bool Start();
    // Ends a running transmission.
    void Stop();

private:
    void FillInterfaces();
    void FillPacketFormats(bool transport);
    void EndStart();
    void FailStart(const char* status, const char* message);
    void ApplyPendingDocumentPath();
    static const char* MuxName(int streamType);

    DeckState& m_state;
    TransmitPanelHost& m_host;

    std::unique_ptr<XmitMPEG> m_transmitter;
    int m_streamType = -1;
    bool m_fileError = false;
    std::uint64_t m_bitrate = 0;
    bool m_transmitting = false;
    std::optional<std::string> m_pendingDocumentPath;

    std::string m_path;
    std::vector<std::string> m_interfaces;
    int m_interfaceSelection = 0;
    std::string m_muxText;
    std::string m_bitrateText;
    std::string m_address = kDefaultAddress;
    std::string m_port;
    int m_ttlSelection = kDefaultTtlSelection;
    bool m_rewind = true;
    bool m_sap = true;
    std::vector<std::string> m_packetFormats;
    int m_packetFormatSelection = kDefaultPacketFormatSelection;
    std::string m_status;
    std::string m_statusField;
    int m_progress = 0;
    bool m_inputsEnabled = true;
    bool m_startEnabled = false;
    unsigned m_listRevision = 0;
    std::string m_buttonText = kStartText;
};

} // namespace castdeck
