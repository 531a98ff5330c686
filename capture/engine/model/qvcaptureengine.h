#pragma once
// The capture engine without its windows: it serves the command channel
// "x_Qv1" for the capture control, keeps the presence block "x_Qv3" and the
// engine's property list, and owns the one QvStreamCapture of this engine.
// The engine program wraps it and implements QvCaptureEngineHost, through
// which the handler asks the program's main thread to start or stop the
// capture or to close the program.
//
// Commands (HandleCommand, on the channel's listener thread):
//   1 Initialize: names and opens the session's status block from the
//     session text (an SDP text) or, after an empty text, from the address
//     and port texts that follow it, else from the engine's Address and
//     Port; the text becomes the engine's SDP property. -6 while a capture
//     is under way (the status block stays).
//   2 Start: -8 without a status block; -6 without a free slot (or while a
//     capture is under way); else the hand-over file's settings are added,
//     a stream listener waits up to 1000 ms for data: found, its findings
//     are added, the capture takes a copy of the settings and the start
//     message is posted (0); none, the exit message is posted (-11).
//   3 Stop: posts the stop message when a status block is open.
//   6, 7: the status block's duration (int32) or stop threshold (double),
//     from data offset 8, when a status block is open.
//   Other codes: nothing. Every result not listed is 0.
//
// Closing begins when the capture ends, fails to start or finds no data,
// or when the program closes: from then on the presence block shows no
// running engine and commands 1 and 2 answer -6, so that a control starts
// a new engine instead of talking to this one.

#include "capture/channel/qvcommchannel.h"
#include "capture/engine/model/qvstreamcapture.h"
#include "core/settings/qvproplist.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

class QvCaptureEngineHost
{
public:
    // Posts one of QvCaptureEngine's messages to the program's main thread;
    // called on the channel's listener thread.
    virtual void PostEngineMessage(unsigned message) = 0;
    virtual ~QvCaptureEngineHost() = default;
};

class QvCaptureEngine : public QvCommChannel
{
public:
    static constexpr unsigned kExitMessage = 0x8067;
    static constexpr unsigned kStartCaptureMessage = 0x8068;
    static constexpr unsigned kStopCaptureMessage = 0x806A;
    // The settings the control leaves for command 2, section "QV" in the
    // Windows directory; read once and deleted.
    static constexpr const char* kHandOverFile = "RECORDCTLTEMP.TMP";
    static constexpr unsigned long kListenTimeoutMs = 1000;

    // Opens the channel (serving side) and the presence block (new: not
    // running, one free slot). Commands are served from StartServing on.
    explicit QvCaptureEngine(QvCaptureEngineHost& host);
    ~QvCaptureEngine() override;

    // The channel serves and the presence block is usable.
    bool IsEngineValid() const;

    // The one engine (it holds the single-instance lock) makes the presence
    // block new: not running, one free slot; what a crashed engine left
    // goes.
    void ResetPresence();
    // Starts serving commands and then shows the engine running.
    bool StartServing();
    // Closing begins (any thread, no lock taken): the presence block shows
    // no running engine and commands 1 and 2 are refused.
    void BeginClosing();
    bool IsClosing() const { return m_closing.load(); }
    // The program closes (main thread): closing begins, the channel stops
    // serving, a capture still running is stopped (reason 4) and the free
    // slot it took is given back.
    void Shutdown();

    int HandleCommand(int code, std::span<const std::uint8_t> data) override;

    // The start message's handler (main thread): starts the capture. 0: it
    // runs and holds one free slot. Otherwise Start's result (-6 once
    // closing has begun): closing begins, stop reason 3, the status block's
    // listeners are signalled and the exit message is posted.
    int OnStartCapture();
    // The stop message's handler (main thread): stops the capture, which
    // ends with reason 4 when it was still running.
    void OnStopCapture();

    QvStreamCapture& GetCapture() { return m_capture; }
    QvPresenceBlock* GetPresence() const;
    // A started capture took one of the presence block's free slots.
    bool HasTakenSlot() const { return m_slotTaken; }
    // The engine's settings; for the main thread while no command runs.
    QvPropertyList& GetProperties() { return m_properties; }

private:
    // The engine's capture: closing begins as soon as it has ended.
    class EngineCapture final : public QvStreamCapture
    {
    public:
        explicit EngineCapture(QvCaptureEngine& engine) : m_engine(engine) {}
        ~EngineCapture() override;

    protected:
        void OnCaptureEnded() override { m_engine.BeginClosing(); }

    private:
        QvCaptureEngine& m_engine;
    };

    int Initialize(std::span<const std::uint8_t> data);
    int StartCommand();
    bool CaptureUnderWay() const { return m_startPosted || m_capture.IsStarted(); }
    void PostExit();
    // Reason 3 for a start that failed or never came, the control told.
    void FailStart();

    QvCaptureEngineHost& m_host;
    QvSharedBlock m_presence;
    QvPropertyList m_properties;
    EngineCapture m_capture{*this};
    std::mutex m_lock; // commands and the main thread's handlers take turns
    bool m_startPosted = false;
    bool m_slotTaken = false;
    std::atomic<bool> m_closing{false};
};
