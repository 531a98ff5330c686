#pragma once
// The command channel between the capture control and the capture engine.
//
// QvCommMgrListener waits on a named manual-reset event on a thread of its
// own and calls its owner's OnSignal each time the event is set; the event is
// reset before the call, so a signal that comes during the call is served by
// the next round, never lost.
//
// QvCommChannel over channel name N: the command block "CMD_" + N (20
// bytes) and the data block "DAT_" + N. The sending side (the control) calls
// SendCommand: code and data in, the listeners in the command block's list
// signalled, then it waits for the serving side's done byte (at most about
// 3 s; then -255). The serving side (the engine) listens on the event
// "LIS_" + N, entered in the command block's list; for each command it takes
// a copy of the data block, calls HandleCommand, stores the result and sets
// done.
//
// Senders take turns: each holds the exchange mutex (N +
// "-QV_Exchange_Mutex~|") from writing the code until it has the result, so
// two senders never mix code, data and result. A sender that sends several
// commands as one exchange holds it across them with LockExchange.
//
// Threads: HandleCommand runs on the listener's thread. A subclass that
// overrides it calls StopListening first thing in its destructor.

#include "capture/channel/qvblocks.h"
#include "capture/channel/qvsharedmem.h"
#include "core/strings/utstring.h"
#include "platform/named.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class QvCommMgrListener
{
public:
    class Owner
    {
    public:
        // Called on the listener's thread after the event was set.
        virtual void OnSignal() = 0;
        // Called on the listener's thread each time a wait slice ends
        // without a signal: the owner may look after what it waits for.
        virtual void OnWaitTimeout() {}
        virtual ~Owner() = default;
    };

    // The listener checks for its end at this period while it waits.
    static constexpr std::uint32_t kWaitSliceMs = 100;

    // Creates or opens the manual-reset event and, when that worked, starts
    // the thread.
    QvCommMgrListener(Owner* owner, const UtCString& eventName);
    // Ends the thread: at most one wait slice, plus the owner's call in
    // progress.
    ~QvCommMgrListener();
    QvCommMgrListener(const QvCommMgrListener&) = delete;
    QvCommMgrListener& operator=(const QvCommMgrListener&) = delete;

    bool IsValid() const { return m_error == 0; }
    int GetError() const { return m_error; }
    const UtCString& GetName() const { return m_name; }
    bool EventExisted() const { return m_event.Existed(); }
    bool IsThreadAlive() const { return m_threadAlive.load(); }

private:
    void Run();

    Owner* m_owner;
    UtCString m_name;
    qvplat::NamedEvent m_event;
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_threadAlive{false};
    int m_error = 0;
    qvplat::Thread m_thread;
};

class QvCommChannel : public QvCommMgrListener::Owner
{
public:
    enum class Side {
        Serving, // the engine: listens and handles commands
        Sending, // the control: sends commands
    };

    // A sender waits this long for the done byte, looking at least every
    // kPollMs.
    static constexpr std::uint32_t kAnswerTimeoutMs = 3000;
    static constexpr std::uint32_t kPollMs = 5;
    // A sender waits this long for its turn.
    static constexpr std::uint32_t kExchangeTimeoutMs = 5000;
    static constexpr const char* kExchangeSuffix = "-QV_Exchange_Mutex~|";

    // Opens both blocks of the channel (and the exchange mutex). The serving
    // side starts serving with Listen.
    QvCommChannel(const UtCString& name, std::uint32_t dataSize, Side side);
    virtual ~QvCommChannel();
    QvCommChannel(const QvCommChannel&) = delete;
    QvCommChannel& operator=(const QvCommChannel&) = delete;

    // The blocks (and, while serving, the listener) are valid.
    bool IsValid() const;

    // ---- Sending side ---------------------------------------------------------------
    // Sends one command with `length` bytes of data (copied to the start of
    // the data block) and returns the serving side's result; -255 when no
    // answer came in time or the turn could not be had; -1 when the channel
    // is invalid or the data do not fit the data block (nothing is sent cut).
    int SendCommand(int code, const void* data, std::uint32_t length);
    // Holds the exchange across several SendCommand calls (recursive).
    bool LockExchange();
    void UnlockExchange();
    // A serving side listens on the channel now (its listener's event is
    // alive; one that a dead server left behind is not).
    bool IsServed() const;

    // ---- Serving side ---------------------------------------------------------------
    // Starts the listener "LIS_" + name and enters it into the command
    // block's list. A subclass calls it once it is completely built.
    bool Listen();
    // Ends the listener; HandleCommand is not called any more afterwards.
    void StopListening();

    // One command: runs HandleCommand on a copy of the data block when a
    // command is waiting (done is 0), then stores the result and sets done.
    void OnSignal() override;
    // The command handler; `data` is a copy of the whole data block. The
    // default does nothing and returns 0.
    virtual int HandleCommand(int code, std::span<const std::uint8_t> data);

    QvCommandBlock* GetCommandBlock() const;
    QvSharedBlock& GetDataBlock() { return m_data; }

private:
    QvSharedBlock m_command;
    QvSharedBlock m_data;
    qvplat::NamedMutex m_exchange;
    std::unique_ptr<QvCommMgrListener> m_listener;
    UtCString m_name;
    std::uint32_t m_dataSize;
    std::vector<std::uint8_t> m_snapshot; // listener thread only
    Side m_side;
};
