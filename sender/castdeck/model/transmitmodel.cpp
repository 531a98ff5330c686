#include "sender/castdeck/model/transmitmodel.h"

#include "core/settings/qvexception.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "mpeg/mpeganalysis.h"
#include "platform/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstdio>
#include <exception>
#include <netinet/in.h>
#include <strings.h>

namespace castdeck {

namespace {

constexpr const char* kPleaseSelect = "Please select an MPEG file.";
constexpr const char* kPressStart = "Press <Start Transmission> button.";
constexpr const char* kCantOpen = "Can't open the specified file!";
constexpr const char* kNotValid = "Not a valid MPEG Stream!";
constexpr const char* kBadTarget = "Invalid target address or port!";
constexpr const char* kFailedToStartStatus = "Transmission failed to start.";
constexpr const char* kCompleted = "Transmission Completed.";
constexpr const char* kStopped = "Transmission stopped.";

// The two message-box texts of a failed start differ by their full stop.
constexpr const char* kFailedToStart = "Failed to start.";
constexpr const char* kFailedToStartCaster = "Failed to start";
constexpr const char* kBadTargetMessage =
    "Invalid target address or port!\n\n"
    "Enter a dotted IPv4 address such as 225.1.1.1 and a port from 1 to 65535.";

// The order of a sorted Windows list box: case-insensitive.
bool ListBoxLess(const std::string& a, const std::string& b)
{
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

const char* TransmittingText(int streamType)
{
    switch (streamType) {
    case qvmpeg::kMpeg1System:
        return "Transmissing MPEG 1 System Stream.";
    case qvmpeg::kMpeg2Program:
        return "Transmissing MPEG 2 Program Stream.";
    default:
        return "Transmissing MPEG 2 Transport Stream.";
    }
}

} // namespace

std::optional<TransmitTarget> ParseTarget(std::string_view address, std::string_view port)
{
    const std::string addressText(qvplat::Trim(address));
    in_addr parsed{};
    if (inet_pton(AF_INET, addressText.c_str(), &parsed) != 1) {
        return std::nullopt;
    }
    const std::string_view portText = qvplat::Trim(port);
    unsigned value = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        value < 1 || value > 65535) {
        return std::nullopt;
    }
    return TransmitTarget{parsed.s_addr, value};
}

TransmitModel::TransmitModel(DeckState& state, TransmitPanelHost& host)
    : m_state(state), m_host(host), m_status(kPleaseSelect), m_statusField(kPleaseSelect)
{
    m_port = std::to_string(m_state.nextPort++);
    FillInterfaces();
    FillPacketFormats(false);
    m_packetFormatSelection = kDefaultPacketFormatSelection;
}

TransmitModel::~TransmitModel()
{
    Stop();
    m_transmitter.reset();
}

const std::vector<std::string>& TransmitModel::TtlChoices()
{
    static const std::vector<std::string> choices{"All",  "Host",   "Subnet",
                                                  "Site", "Region", "Continent"};
    return choices;
}

void TransmitModel::FillInterfaces()
{
    m_interfaces.assign(1, kAnyInterface);
    for (const std::uint32_t address : QvHostAddresses()) {
        std::string text = QvDottedAddress(address);
        if (!text.empty() &&
            std::find(m_interfaces.begin(), m_interfaces.end(), text) == m_interfaces.end()) {
            m_interfaces.push_back(std::move(text));
        }
    }
    std::stable_sort(m_interfaces.begin(), m_interfaces.end(), ListBoxLess);
    // "Any" was selected before the addresses came in, and stays selected
    // wherever the sorting put it.
    const auto any = std::find(m_interfaces.begin(), m_interfaces.end(), kAnyInterface);
    m_interfaceSelection = static_cast<int>(any - m_interfaces.begin());
    ++m_listRevision;
}

void TransmitModel::FillPacketFormats(bool transport)
{
    if (transport) {
        m_packetFormats = {"RAW", "OPV"};
        m_packetFormatSelection = kPacketFormatRaw;
    } else {
        m_packetFormats = {"RAW", "OPV", "QVS"};
        m_packetFormatSelection = kPacketFormatQvs;
    }
    ++m_listRevision;
}

void TransmitModel::SelectInterface(int index)
{
    if (index >= 0 && index < static_cast<int>(m_interfaces.size())) {
        m_interfaceSelection = index;
    }
}

void TransmitModel::SelectTtl(int index)
{
    if (index >= 0 && index < static_cast<int>(TtlChoices().size())) {
        m_ttlSelection = index;
    }
}

void TransmitModel::SelectPacketFormat(int index)
{
    if (index >= 0 && index < static_cast<int>(m_packetFormats.size())) {
        m_packetFormatSelection = index;
    }
}

const char* TransmitModel::MuxName(int streamType)
{
    switch (streamType) {
    case qvmpeg::kMpeg1System:
        return "MPEG 1 System";
    case qvmpeg::kMpeg2Program:
        return "MPEG 2 Program";
    case qvmpeg::kMpeg2Transport:
        return "MPEG 2 Transport";
    default:
        return "";
    }
}

void TransmitModel::OnPathFocusLost()
{
    if (m_transmitting) {
        return;
    }
    std::string dropped = m_host.TakeDroppedPath();
    if (!dropped.empty()) {
        m_path = std::move(dropped);
        m_host.SetDocumentPath(m_path);
    }
    if (!m_path.empty()) {
        Analyse();
    }
}

void TransmitModel::OnFileChosen(const std::string& path)
{
    if (m_transmitting || path.empty()) {
        return;
    }
    m_path = path;
    m_host.SetDocumentPath(m_path);
    Analyse();
}

void TransmitModel::OnDocumentPath(const std::string& path)
{
    if (m_transmitting) {
        m_pendingDocumentPath = path;
        return;
    }
    m_pendingDocumentPath.reset();
    m_path = path;
    if (!m_path.empty()) {
        Analyse();
    }
}

void TransmitModel::ApplyPendingDocumentPath()
{
    if (m_pendingDocumentPath) {
        const std::string path = std::move(*m_pendingDocumentPath);
        m_pendingDocumentPath.reset();
        OnDocumentPath(path);
    }
}

void TransmitModel::Analyse()
{
    if (m_transmitting) {
        return; // the file being sent stays until the transmission ends
    }
    m_fileError = false;
    m_streamType = -1;
    int detected = -1;
    if (qvmpeg::DetectStreamType(m_path, detected)) {
        m_streamType = detected;
    } else {
        m_fileError = true;
    }

    m_muxText = MuxName(m_streamType);
    m_transmitter = MakeXmitMPEG(m_streamType);
    m_bitrate = 0;
    m_bitrateText.clear(); // no transmitter, no bit rate: never a stale one
    if (m_transmitter) {
        m_transmitter->SetFilePath(m_path);
        m_transmitter->SetStreamType(m_streamType);
        m_bitrate = m_transmitter->ComputeBitrate();
        if (m_bitrate == 0) {
            m_fileError = true;
        }
        m_bitrateText = std::to_string(m_bitrate);
        FillPacketFormats(m_streamType == qvmpeg::kMpeg2Transport);
    }
    m_status = kPressStart;
    m_startEnabled = !m_path.empty();
}

void TransmitModel::OnStartStop()
{
    if (m_transmitting) {
        Stop();
    } else {
        Start();
    }
}

void TransmitModel::EndStart()
{
    m_buttonText = kStartText;
    m_inputsEnabled = true;
}

void TransmitModel::FailStart(const char* status, const char* message)
{
    m_status = status;
    m_host.ShowError(message);
    EndStart();
}

bool TransmitModel::Start()
{
    if (m_transmitting) {
        return true;
    }
    m_inputsEnabled = false;
    m_buttonText = kStopText;

    if (m_fileError) {
        FailStart(kCantOpen, kFailedToStart);
        return false;
    }
    if (!m_transmitter) {
        FailStart(kNotValid, kFailedToStart);
        return false;
    }
    // Check the destination before anything is handed to the transmitter.
    std::optional<TransmitTarget> target;
    if (!qvplat::Trim(m_address).empty()) {
        target = ParseTarget(m_address, m_port);
        if (!target) {
            FailStart(kBadTarget, kBadTargetMessage);
            return false;
        }
    }

    XmitMPEG& x = *m_transmitter;
    x.SetFilePath(m_path);
    x.SetStreamType(m_streamType);
    m_progress = 0;
    if (target) {
        x.SetAddress(target->address, target->port);
    }
    // An empty address leaves the transmitter's own destination.
    x.SetTTL(QvUdpCaster::DecodeTTL(
        UtCString(TtlChoices()[static_cast<std::size_t>(m_ttlSelection)].c_str())));

    switch (m_packetFormatSelection) {
    case kPacketFormatRaw:
        x.SetPacketFormat(XmitMPEG::kRawFormat);
        x.SetHeaderCaster(false);
        break;
    case kPacketFormatOpv:
        x.SetPacketFormat(XmitMPEG::kOpvFormat);
        x.SetHeaderCaster(false);
        break;
    default:
        x.SetPacketFormat(XmitMPEG::kOpvFormat);
        x.SetHeaderCaster(true); // a transport transmitter keeps it off
        break;
    }
    if (m_rewind) {
        x.SetRepeat(XmitMPEG::kEndless, kRewindPauseMs);
    } else {
        x.SetRepeat(1, 0);
    }
    x.SetSAPCaster(m_sap ? &x.GetOwnSAPCaster() : nullptr);

    // "Any" is set every time: a caster left on any interface remembers the
    // address it picked, and a later start must not stay bound to it.
    const std::string& interfaceText = m_interfaces[static_cast<std::size_t>(m_interfaceSelection)];
    unsigned long interfaceAddress = 0;
    if (interfaceText != kAnyInterface) {
        in_addr parsed{};
        if (inet_pton(AF_INET, interfaceText.c_str(), &parsed) == 1) {
            interfaceAddress = parsed.s_addr;
        }
    }
    x.SetInterface(interfaceAddress);

    int result = 1;
    try {
        result = x.Start();
    } catch (const QvException& error) {
        QvDebugMsg("castdeck: the transmission failed to start: %s", error.GetShortText());
        result = 1;
    } catch (const std::exception& error) {
        QvDebugMsg("castdeck: the transmission failed to start: %s", error.what());
        result = 1;
    }
    if (result != 0) {
        FailStart(kFailedToStartStatus, kFailedToStartCaster);
        return false;
    }

    m_transmitting = true;
    m_status = TransmittingText(m_streamType);
    ++m_state.transmitting;
    return true;
}

void TransmitModel::Stop()
{
    if (!m_transmitting) {
        return;
    }
    m_transmitting = false;
    m_status = m_transmitter->IsFinished() ? kCompleted : kStopped;
    m_transmitter->Stop();
    m_progress = 0;
    EndStart();
    --m_state.transmitting;
    // A path the document took meanwhile is shown and analysed now; the
    // status still tells how the transmission ended.
    const std::string status = m_status;
    ApplyPendingDocumentPath();
    m_status = status;
}

void TransmitModel::OnTimer()
{
    m_statusField = m_status;
    if (!m_transmitting) {
        return;
    }
    if (m_transmitter->IsFinished()) {
        Stop();
        return;
    }
    const bool odd = (m_state.timerTicks++ % 2) != 0;
    const std::uint64_t sent = m_transmitter->GetPayloadBytesSent();
    char text[128];
    std::snprintf(text, sizeof text, "Transmission started. %c\r\n\r\nBytes sent: %llu",
                  odd ? '*' : ' ', static_cast<unsigned long long>(sent));
    m_status = text;
    const std::uint64_t size = m_transmitter->GetFileSize();
    m_progress = size == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(sent * 100 / size, 100));
}

} // namespace castdeck
