#include "capture/engine/model/qvstreamcapture.h"

#include "capture/channel/qvcapturefile.h"
#include "core/settings/qvlog.h"
#include "platform/paths.h"

#include <ctime>

namespace {

std::int32_t Seconds(std::time_t t)
{
    return static_cast<std::int32_t>(t);
}

} // namespace

QvStreamCapture::QvStreamCapture(const char* statusName)
    : m_buffer(std::make_unique<char[]>(kReadSize))
{
    // The receiver's flow control follows its UDCFlowControl setting.
    m_collector.SetFlowControl(false);
    if (statusName != nullptr) {
        OpenStatus(statusName);
    }
}

QvStreamCapture::~QvStreamCapture()
{
    Stop();
    JoinThread();
}

bool QvStreamCapture::OpenStatus(const UtCString& name)
{
    if (m_started) {
        return false;
    }
    auto block =
        std::make_unique<QvSharedBlock>(name, static_cast<std::uint32_t>(sizeof(QvStatusBlock)));
    auto* status = static_cast<QvStatusBlock*>(block->GetView());
    if (status == nullptr) {
        m_statusBlock.reset();
        return false;
    }
    if (block->IsNew()) {
        QvStatusDefaults(*status);
    }
    QvStore(status->attached, 1);
    m_statusBlock = std::move(block);
    return true;
}

QvStatusBlock* QvStreamCapture::GetStatus() const
{
    return m_statusBlock ? static_cast<QvStatusBlock*>(m_statusBlock->GetView()) : nullptr;
}

UtCString QvStreamCapture::TargetName(const QvPropertyList& settings)
{
    return QvCaptureTargetName(settings.GetProperty("Filename"), settings.GetProperty("Path"));
}

void QvStreamCapture::CloseTarget()
{
    m_disk.reset();
    m_file.Close();
}

int QvStreamCapture::Start()
{
    QvDebugMsg("QvStreamCapture::Start");
    if (m_started) {
        return kAlreadyStarted;
    }
    if (GetStatus() == nullptr) {
        return kNoStatus;
    }
    m_collector.SetPropertyList(&m_properties);
    const UtCString name = TargetName(m_properties);
    QvDebugMsg("Filename: %s", name.chars());
    if (name.isNull()) {
        return kNoFileName;
    }
    m_targetPath = qvplat::MapPath(name.chars());
    if (m_targetPath.empty() || !m_file.CreateAlways(m_targetPath, 0666)) {
        QvDebugMsg("Err: Failed to create file %lu",
                   static_cast<unsigned long>(m_targetPath.empty() ? ENOENT : m_file.Error()));
        return kFileNotCreated;
    }
    // The free space is that of the directory the file is created in.
    const std::size_t slash = m_targetPath.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : m_targetPath.substr(0, slash);
    m_disk = std::make_unique<QvDiskSpace>(directory.c_str());
    if (m_collector.Start() != QvUdpDataCollector::kStartOk) {
        CloseTarget();
        QvDebugMsg("Err: Failed to start collector");
        return kCollectorFailed;
    }
    QvStatusBlock* status = GetStatus();
    QvStore(status->bytesCaptured, 0.0);
    QvStore(status->stopReason, kQvReasonNone);
    m_stopRequested.store(false);
    if (StartThread() == 0) {
        m_collector.Stop();
        CloseTarget();
        QvDebugMsg("Err: Failed to start capture thread");
        return kThreadFailed;
    }
    m_started = true;
    return 0;
}

void QvStreamCapture::Stop()
{
    if (!m_started) {
        return;
    }
    QvDebugMsg("QvStreamCapture::Stop");
    m_stopRequested.store(true);
    StopThreadNoWait();
    m_collector.Stop(); // a read in progress returns at once
    JoinThread();
    CloseTarget();
    m_started = false;
}

void QvStreamCapture::ProcessThread()
{
    QvDebugMsg("QvStreamCapture::ThreadRun");
    QvStatusBlock* status = GetStatus();
    const std::time_t start = std::time(nullptr);
    QvStore(status->startTime, Seconds(start));
    QvStore(status->state, 1);
    std::uint64_t onDisk = 0;
    std::int32_t reason = kQvReasonNone;
    bool stopped = false;
    bool diskUnknown = false; // the last free-space query failed
    for (;;) {
        if (!IsThreadRunning()) {
            stopped = true;
            break;
        }
        int flags = 0;
        const long got =
            m_collector.ReadBuffer(m_buffer.get(), static_cast<long>(kReadSize), flags);
        const std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
        const bool written = length == 0 || m_file.WriteAll(m_buffer.get(), length);
        // After a failed write only what reached the file counts.
        onDisk = written ? onDisk + length : m_file.Size();
        QvStore(status->bytesCaptured, static_cast<double>(onDisk));
        const std::int32_t elapsed = Seconds(std::time(nullptr) - start);
        QvStore(status->elapsed, elapsed);
        if (!written) {
            reason = kQvReasonWriteError;
            QvDebugMsg("Stopped: Write Error: %lu", static_cast<unsigned long>(m_file.Error()));
            break;
        }
        QvDebugMsg("bytesWritten = %ld", static_cast<long>(length));
        if (!IsThreadRunning()) {
            stopped = true;
            break;
        }
        const char* text = nullptr;
        if (QvLoad(status->stopReason) != kQvReasonNone) {
            // Someone set a reason already: go on until stopped.
        } else if (length < kReadSize) {
            reason = kQvReasonNoData;
            text = "Stopped: no data reception";
        } else if (elapsed < QvLoad(status->duration)) {
            // Not knowing the free space is no reason to stop: the write
            // tells when the disk is really full.
            const bool known = m_disk->Query();
            if (!known && !diskUnknown) {
                QvDebugMsg("Err: free space of %s not known (%d)", m_disk->GetPath().chars(),
                           m_disk->GetError());
            }
            diskUnknown = !known;
            if (known && !(m_disk->GetFreeSpace() >= QvLoad(status->stopThreshold))) {
                reason = kQvReasonDiskThreshold;
                text = "Stopped: Disk threshold exceeded";
            }
        } else {
            reason = kQvReasonNormal;
            text = "Stopped: Normal";
        }
        if (text != nullptr) {
            QvDebugMsg("%s", text);
            break;
        }
        if (m_progress != nullptr) {
            m_progress->fetch_add(1);
        }
    }
    QvStore(status->state, 0);
    if (stopped && m_stopRequested.load()) {
        reason = kQvReasonStopped;
    }
    if (reason != kQvReasonNone) {
        QvStore(status->stopReason, reason);
    }
    OnCaptureEnded();
    m_statusBlock->Signal();
}
