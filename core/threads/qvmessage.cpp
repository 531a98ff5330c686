#include "core/threads/qvmessage.h"

#include "platform/sync.h"

#include <mutex>

QvMessage::~QvMessage() = default;

void QvMessage::HandleMessage(QvMessage* /*message*/)
{
}

QvIntMessage::QvIntMessage(int code, unsigned long value) : m_code(code), m_value(value)
{
}

QvIntMessage::~QvIntMessage() = default;

void QvIntMessage::HandleMessage(QvMessage* message)
{
    // Only int messages carry a code; any other kind is not for these hooks.
    const auto* intMessage = dynamic_cast<const QvIntMessage*>(message);
    if (intMessage == nullptr) {
        return;
    }
    const unsigned long value = intMessage->m_value;
    switch (intMessage->m_code) {
    case kStreamReady:
        OnStreamReady(value);
        break;
    case kStartThreshold:
        OnStartThreshold(value);
        break;
    case kPlayStart:
        OnPlayStart(value);
        break;
    case kDataTimeout:
        OnDataTimeout(value);
        break;
    default:
        UnknownMessage(value);
        break;
    }
}

void QvIntMessage::OnStreamReady(unsigned long /*value*/)
{
}

void QvIntMessage::OnStartThreshold(unsigned long /*value*/)
{
}

void QvIntMessage::OnDataTimeout(unsigned long /*value*/)
{
}

void QvIntMessage::OnPlayStart(unsigned long /*value*/)
{
}

void QvIntMessage::UnknownMessage(unsigned long /*value*/)
{
}

QvMessageQueue::QvMessageQueue()
    : m_lock(std::make_unique<qvplat::CriticalSection>()),
      m_list(std::make_unique<UtTPtrSlist<QvMessage>>())
{
}

QvMessageQueue::~QvMessageQueue()
{
    // Nobody else may use the queue any more: delete what is left directly.
    while (!m_list->isEmpty()) {
        delete m_list->removeFirst();
    }
}

void QvMessageQueue::Send(QvMessage* message)
{
    std::lock_guard<qvplat::CriticalSection> guard(*m_lock);
    m_list->addAtTail(message);
}

QvMessage* QvMessageQueue::Get()
{
    std::lock_guard<qvplat::CriticalSection> guard(*m_lock);
    return m_list->removeFirst();
}

int QvMessageQueue::Count()
{
    std::lock_guard<qvplat::CriticalSection> guard(*m_lock);
    return static_cast<int>(m_list->entries());
}

void QvMessageQueue::Flush()
{
    // Take the messages out under the lock and delete them after leaving it,
    // so a message's destructor never runs with the queue locked.
    auto doomed = std::make_unique<UtTPtrSlist<QvMessage>>();
    {
        std::lock_guard<qvplat::CriticalSection> guard(*m_lock);
        m_list.swap(doomed);
    }
    while (!doomed->isEmpty()) {
        delete doomed->removeFirst();
    }
}

void QvMessageQueue::DispatchMessages(QvMessage* handler)
{
    while (Count() != 0) {
        std::unique_ptr<QvMessage> message(Get());
        if (message != nullptr && handler != nullptr) {
            handler->HandleMessage(message.get());
        }
    }
}
