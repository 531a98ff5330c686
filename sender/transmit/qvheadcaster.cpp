#include "sender/transmit/qvheadcaster.h"

#include "core/mpegsyntax/startcode.h"
#include "core/net/qvudpcaster.h"
#include "core/packets/qvpacket.h"
#include "core/settings/qvlog.h"
#include "mpeg/mpeganalysis.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

QvHeadCaster::QvHeadCaster() = default;

QvHeadCaster::~QvHeadCaster()
{
    Stop();
}

bool QvHeadCaster::BuildPacket()
{
    qvmpeg::MpegFileReader file;
    if (!file.Open(m_filePath)) {
        QvDebugMsg("Failed to open: %s", m_filePath.c_str());
        return false;
    }
    std::vector<std::uint8_t> head(m_readSize);
    const qvmpeg::MpegFileReader::ReadResult read = file.Read(head);
    file.Close();
    if (read.failed) {
        QvDebugMsg("Failed to read: %s", m_filePath.c_str());
        return false;
    }
    // Only the bytes that were read are looked at.
    const auto data = std::span<const std::uint8_t>(head).first(read.bytes);

    using namespace mpegsyntax;
    const std::optional<std::size_t> sequence = start_code_find(data, kSequenceHeaderCode);
    if (!sequence) {
        QvDebugMsg("QvHeadCaster: no sequence header in the first %zu bytes of %s", data.size(),
                   m_filePath.c_str());
        return false;
    }
    const std::optional<std::size_t> group =
        start_code_find(data, kGroupStartCode, *sequence + kStartCodeSize);
    if (!group) {
        QvDebugMsg("QvHeadCaster: no group of pictures after the sequence header in %s",
                   m_filePath.c_str());
        return false;
    }
    const std::size_t length = *group - *sequence;
    const std::size_t written =
        QvWriteHeaderPacket(m_packet.data(), m_packet.size(), data.data() + *sequence, length);
    if (written == 0) {
        QvDebugMsg("QvHeadCaster: sequence header of %zu bytes does not fit a %zu-byte packet",
                   length, m_packet.size());
        return false;
    }
    m_packetLength = written;
    return true;
}

int QvHeadCaster::Start()
{
    if (m_started) {
        Stop();
    }
    m_packetLength = 0;
    if (!BuildPacket()) {
        return 1;
    }
    {
        // Set before the thread exists, so a Stop right after Start is
        // never lost.
        const std::lock_guard<std::mutex> lock(m_waitLock);
        m_run = true;
    }
    if (!m_thread.Start([this] { SendLoop(); })) {
        const std::lock_guard<std::mutex> lock(m_waitLock);
        m_run = false;
        return 1;
    }
    m_started = true;
    return 0;
}

int QvHeadCaster::Stop()
{
    if (!m_started) {
        return 0;
    }
    {
        const std::lock_guard<std::mutex> lock(m_waitLock);
        m_run = false;
    }
    m_wake.notify_all();
    m_thread.Join();
    m_thread = qvplat::Thread();
    SetOwner(nullptr);
    m_started = false;
    return 0;
}

void QvHeadCaster::SendLoop()
{
    // The first packet goes out at once, even when a Stop is already on its
    // way: a pass that ends quickly still sends its header once.
    const auto period = std::chrono::milliseconds(m_periodMs);
    for (;;) {
        if (QvUdpCaster* owner = GetOwner()) {
            const int length = static_cast<int>(m_packetLength);
            if (owner->Send(m_packet.data(), length, 0) == -1) {
                QvErrorMsg(false, "Error sending header: (%d)", QvSocket::GetLastError());
            }
        }
        std::unique_lock<std::mutex> lock(m_waitLock);
        if (m_wake.wait_for(lock, period, [this] { return !m_run; })) {
            return;
        }
    }
}
