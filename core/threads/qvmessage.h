#pragma once
// Messages from worker threads to a consumer thread.
//
// A worker allocates a message on the heap and sends it into its consumer's
// QvMessageQueue; the consumer drains the queue on its own thread with
// DispatchMessages, passing a handler object that receives each message
// through HandleMessage. The queue owns every message in it.

#include "core/qvexport.h"
#include "core/strings/utlist.h"

#include <memory>

namespace qvplat {
class CriticalSection;
}

class QV_API QvMessage
{
public:
    QvMessage() = default;
    QvMessage(const QvMessage&) = default;
    QvMessage& operator=(const QvMessage&) = default;
    virtual ~QvMessage();

    // Called on the handler with each dispatched message; empty in the base.
    virtual void HandleMessage(QvMessage* message);
};

// A message carrying a code and a value. The same class serves as message
// and as handler: a consumer derives from it, overrides the hooks and passes
// itself to DispatchMessages. HandleMessage routes the code of an int message
// to the hook of that code, with the value unchanged:
//   1 OnStreamReady, 2 OnStartThreshold, 3 OnPlayStart, 4 OnDataTimeout,
//   anything else UnknownMessage.
// A message of any other kind is ignored.
class QV_API QvIntMessage : public QvMessage
{
public:
    static constexpr int kStreamReady = 1;   // the stream listener recognised a stream
    static constexpr int kStartThreshold = 2; // the receive buffers reached the start threshold
    static constexpr int kPlayStart = 3;     // reserved; nothing sends it
    static constexpr int kDataTimeout = 4;   // data stopped arriving

    QvIntMessage() = default;
    QvIntMessage(int code, unsigned long value);
    QvIntMessage(const QvIntMessage&) = default;
    QvIntMessage& operator=(const QvIntMessage&) = default;
    ~QvIntMessage() override;

    void HandleMessage(QvMessage* message) override;

    virtual void OnStreamReady(unsigned long value);
    virtual void OnStartThreshold(unsigned long value);
    virtual void OnDataTimeout(unsigned long value);
    virtual void OnPlayStart(unsigned long value);
    virtual void UnknownMessage(unsigned long value);

    int Code() const { return m_code; }
    unsigned long Value() const { return m_value; }

protected:
    int m_code = 0;
    unsigned long m_value = 0;
};

// A locked first-in first-out queue of heap messages. Any number of threads
// may Send while one consumer dispatches. Each operation holds the queue's
// lock for the list operation only; handlers run without it, so a handler
// may send into this queue or any other.
class QV_API QvMessageQueue
{
public:
    QvMessageQueue();
    // The queue owns its messages, so it is neither copied nor assigned.
    QvMessageQueue(const QvMessageQueue&) = delete;
    QvMessageQueue& operator=(const QvMessageQueue&) = delete;
    // Deletes the messages still queued, unhandled.
    virtual ~QvMessageQueue();

    // Appends a heap message at the tail; the queue takes it over. A null
    // pointer is queued as an entry too.
    virtual void Send(QvMessage* message);
    // Removes and returns the head message, now the caller's; null when the
    // queue is empty (or the head entry was null).
    virtual QvMessage* Get();
    virtual int Count();
    // Deletes every queued message, first to last.
    virtual void Flush();
    // Until the queue is empty: takes the head message, passes it to the
    // handler's HandleMessage and deletes it. Messages sent meanwhile, also
    // by the handler, are handled by the same call. Null entries are taken
    // out without calling the handler; with a null handler every message is
    // taken out and deleted unhandled.
    virtual void DispatchMessages(QvMessage* handler);

private:
    std::unique_ptr<qvplat::CriticalSection> m_lock;
    std::unique_ptr<UtTPtrSlist<QvMessage>> m_list;
};
