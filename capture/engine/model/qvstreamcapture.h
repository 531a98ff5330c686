#pragma once
// The capture engine's recorder: receives one live stream with its own
// stream receiver and writes the reassembled bytes raw to a file, keeping the
// session status block up to date, until the duration is reached, the disk's
// free space falls below the stop threshold, the data stop, a write fails or
// Stop is called.
//
// Settings (its property list, given to the receiver at Start): the
// receiver's keys, plus "Filename" and "Path". A Filename holding a
// backslash or a slash is used as it is; otherwise it is joined to Path
// ("d:\caps" + "x.mpg" -> "d:\caps\x.mpg"), or taken alone when Path is
// empty. The name is then mapped to a path of this system (platform/paths.h)
// and the free space of its directory is measured.
//
// Stop reasons written to the status block: 1 duration reached, 2 free
// space that the capture may use (the file system's reserve for its
// administrator left out) below the stop threshold, 3 data stopped (a short
// read), 4 Stop ended the capture, 6 a write failed. The bytes of the round
// that ends the capture are always written first; bytes captured counts the
// bytes on disk.
// Duration and threshold are read from the status block each round, and the
// free space is measured each round; a round whose measurement fails goes
// on (the failure is logged), and a later one that succeeds is checked.
//
// Threads: the owner calls OpenStatus, Start and Stop on one thread; the
// capture loop runs on the object's worker.

#include "capture/channel/qvblocks.h"
#include "capture/channel/qvdiskspace.h"
#include "capture/channel/qvsharedmem.h"
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvthread.h"
#include "platform/file.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class QvStreamCapture : public QvThread
{
public:
    static constexpr std::size_t kReadSize = 65536;

    // Results of Start besides 0.
    static constexpr int kAlreadyStarted = -1;
    static constexpr int kNoStatus = kQvNotInitialised; // -8: no status block open
    static constexpr int kThreadFailed = -10;
    static constexpr int kNoFileName = -13;
    static constexpr int kFileNotCreated = -14;
    static constexpr int kCollectorFailed = -15;

    // Opens the status block when a name is given (as OpenStatus).
    explicit QvStreamCapture(const char* statusName = nullptr);
    ~QvStreamCapture() override;

    // Opens the session's status block (48 bytes): a new one gets the
    // defaults, every one is marked attached. Refused (false, the block
    // unchanged) while a capture runs; false when the block is not valid.
    bool OpenStatus(const UtCString& name);
    // The status block's fields; null without a valid block.
    QvStatusBlock* GetStatus() const;
    QvSharedBlock* GetStatusBlock() const { return m_statusBlock.get(); }

    // Creates the file, starts the receiver and the capture loop: 0, or one
    // of the k... results (nothing stays open on failure).
    int Start();
    // Ends a running capture: the loop's run flag goes, the receiver stops
    // (so a read in progress returns at once), the loop writes what it got
    // and ends with reason 4; then the file is closed. Nothing when not
    // started.
    void Stop();
    bool IsStarted() const { return m_started; }

    QvPropertyList& GetPropertyList() { return m_properties; }
    // Bytes the receiver has taken in since its start (also while the loop
    // waits for a whole read).
    std::uint64_t GetReceivedBytes() const { return m_collector.GetBytesReceived(); }
    // Raised once per loop round that goes on; may be null.
    void SetProgressCounter(std::atomic<std::uint32_t>* counter) { m_progress = counter; }

    // The target named by Filename and Path, Windows-style; "" when
    // Filename is empty.
    static UtCString TargetName(const QvPropertyList& settings);
    // The path of this system that the last Start created.
    const std::string& GetTargetPath() const { return m_targetPath; }

protected:
    // The capture loop.
    void ProcessThread() override;
    // On the capture thread when the loop has ended and its reason is set,
    // just before the status block's listeners are signalled. A subclass
    // that overrides it stops the capture first in its own destructor.
    virtual void OnCaptureEnded() {}

private:
    void CloseTarget();

    QvUdpDataCollector m_collector;
    QvPropertyList m_properties;
    qvplat::File m_file;
    std::string m_targetPath;
    bool m_started = false;
    std::unique_ptr<QvDiskSpace> m_disk;
    std::unique_ptr<QvSharedBlock> m_statusBlock;
    std::atomic<std::uint32_t>* m_progress = nullptr;
    std::unique_ptr<char[]> m_buffer;
    std::atomic<bool> m_stopRequested{false};
};
