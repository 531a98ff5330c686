#pragma once
// Stream messages: how the playback objects tell their host about a stream's
// progress. The controller posts them onto the host's message queue; the
// host drains that queue on its own thread with a handler derived from
// QvStreamMessage whose hooks it overrides.

#include "core/threads/qvmessage.h"
#include "playback/qvplaybackexport.h"

class QV_PLAYBACK_API QvStreamMessage : public QvMessage
{
public:
    // The message numbers.
    static constexpr int kPlaying = 1;      // PlayReady: the graph runs
    static constexpr int kPaused = 2;       // PostPause
    static constexpr int kStopped = 3;      // PostStop (also: a file ended, Repeat off)
    static constexpr int kWaiting = 17;     // WaitForData: waiting for the live stream
    static constexpr int kEndOfStream = 20; // EndOfStream (nothing posts it)
    static constexpr int kCollecting = 33;  // PlayInit: live stream found, collecting
    static constexpr int kEndOfData = 36;   // EndOfData: live data stopped arriving
    static constexpr int kStarting = 49;    // PlayStart: building and running the graph
    static constexpr int kRepeat = 65;      // RepeatPlay: a file ended and Repeat is on

    // The value of a kWaiting message posted because the stream that came
    // could not be decoded; the control waits for a stream again. Every
    // other message carries 0.
    static constexpr unsigned long kUndecodable = 1;

    QvStreamMessage() = default;
    QvStreamMessage(int type, unsigned long value);
    QvStreamMessage(const QvStreamMessage&) = default;
    QvStreamMessage& operator=(const QvStreamMessage&) = default;
    ~QvStreamMessage() override;

    // Calls the hook of the message's number with its value; any other
    // number calls UnknownMessage. Messages of other kinds are ignored.
    void HandleMessage(QvMessage* message) override;

    // The hooks; each does nothing here. PostPlay has no number.
    virtual void PostPlay(unsigned long value);
    virtual void PostPause(unsigned long value);
    virtual void PostStop(unsigned long value);
    virtual void EndOfStream(unsigned long value);
    virtual void EndOfData(unsigned long value);
    virtual void WaitForData(unsigned long value);
    virtual void PlayInit(unsigned long value);
    virtual void PlayStart(unsigned long value);
    virtual void PlayReady(unsigned long value);
    virtual void RepeatPlay(unsigned long value);
    virtual void UnknownMessage(unsigned long value);

    int type = 0;
    unsigned long value = 0;
};
