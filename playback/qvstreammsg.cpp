#include "playback/qvstreammsg.h"

QvStreamMessage::QvStreamMessage(int type_, unsigned long value_) : type(type_), value(value_) {}

QvStreamMessage::~QvStreamMessage() = default;

void QvStreamMessage::HandleMessage(QvMessage* message)
{
    const auto* stream = dynamic_cast<const QvStreamMessage*>(message);
    if (stream == nullptr) {
        return;
    }
    const unsigned long v = stream->value;
    switch (stream->type) {
    case kPlaying:
        PlayReady(v);
        break;
    case kPaused:
        PostPause(v);
        break;
    case kStopped:
        PostStop(v);
        break;
    case kWaiting:
        WaitForData(v);
        break;
    case kEndOfStream:
        EndOfStream(v);
        break;
    case kCollecting:
        PlayInit(v);
        break;
    case kEndOfData:
        EndOfData(v);
        break;
    case kStarting:
        PlayStart(v);
        break;
    case kRepeat:
        RepeatPlay(v);
        break;
    default:
        UnknownMessage(v);
        break;
    }
}

void QvStreamMessage::PostPlay(unsigned long) {}
void QvStreamMessage::PostPause(unsigned long) {}
void QvStreamMessage::PostStop(unsigned long) {}
void QvStreamMessage::EndOfStream(unsigned long) {}
void QvStreamMessage::EndOfData(unsigned long) {}
void QvStreamMessage::WaitForData(unsigned long) {}
void QvStreamMessage::PlayInit(unsigned long) {}
void QvStreamMessage::PlayStart(unsigned long) {}
void QvStreamMessage::PlayReady(unsigned long) {}
void QvStreamMessage::RepeatPlay(unsigned long) {}
void QvStreamMessage::UnknownMessage(unsigned long) {}
