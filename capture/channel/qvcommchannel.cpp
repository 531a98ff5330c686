#include "capture/channel/qvcommchannel.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <thread>

// ---- QvCommMgrListener ------------------------------------------------------------

QvCommMgrListener::QvCommMgrListener(Owner* owner, const UtCString& eventName)
    : m_owner(owner), m_name(eventName)
{
    if (!m_event.Create(std::string_view(m_name.chars(), m_name.length()))) {
        m_error = m_event.Error();
        return;
    }
    if (!m_thread.Start([this] { Run(); })) {
        m_error = EAGAIN;
    }
}

QvCommMgrListener::~QvCommMgrListener()
{
    m_running.store(false);
    if (m_thread.IsValid()) {
        m_thread.Join();
    }
}

void QvCommMgrListener::Run()
{
    m_threadAlive.store(true);
    while (m_running.load()) {
        const qvplat::NamedWait woken = m_event.Wait(kWaitSliceMs);
        if (woken == qvplat::NamedWait::Done && m_running.load()) {
            // Reset before the call: a signal that arrives during the call
            // sets the event again and is served by the next round.
            m_event.Reset();
            if (m_owner != nullptr) {
                m_owner->OnSignal();
            }
        } else if (woken == qvplat::NamedWait::Timeout) {
            if (m_owner != nullptr) {
                m_owner->OnWaitTimeout();
            }
        } else if (woken == qvplat::NamedWait::Failed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
        }
    }
    m_threadAlive.store(false);
}

// ---- QvCommChannel ----------------------------------------------------------------

QvCommChannel::QvCommChannel(const UtCString& name, std::uint32_t dataSize, Side side)
    : m_command(kQvCommandPrefix + name, sizeof(QvCommandBlock)),
      m_data(kQvDataPrefix + name, dataSize), m_name(name), m_dataSize(dataSize), m_side(side)
{
    const UtCString exchange = name + kExchangeSuffix;
    m_exchange.Create(std::string_view(exchange.chars(), exchange.length()));
}

QvCommChannel::~QvCommChannel()
{
    StopListening();
}

bool QvCommChannel::IsValid() const
{
    const bool blocks = m_command.IsValid() && m_data.IsValid() && m_exchange.IsOpen();
    return blocks && (m_side == Side::Sending || (m_listener && m_listener->IsValid()));
}

QvCommandBlock* QvCommChannel::GetCommandBlock() const
{
    return static_cast<QvCommandBlock*>(m_command.GetView());
}

bool QvCommChannel::LockExchange()
{
    return m_exchange.Lock(kExchangeTimeoutMs) == qvplat::NamedWait::Done;
}

void QvCommChannel::UnlockExchange()
{
    m_exchange.Unlock();
}

bool QvCommChannel::IsServed() const
{
    const UtCString name = kQvListenerPrefix + m_name;
    qvplat::NamedEvent event;
    return event.Open(std::string_view(name.chars(), name.length()));
}

int QvCommChannel::SendCommand(int code, const void* data, std::uint32_t length)
{
    QvCommandBlock* block = GetCommandBlock();
    if (block == nullptr || !m_data.IsValid() || (length > 0 && data == nullptr) ||
        length > m_dataSize) {
        return -1;
    }
    if (!LockExchange()) {
        return kQvNoAnswer;
    }
    QvStore(block->code, code);
    QvStore(block->result, 0);
    QvStore(block->dataAddress, 0);
    QvStore(block->done, 0);
    int result = kQvNoAnswer;
    if (length == 0 || m_data.Write(data, length, QvSharedMemory::kBinary)) {
        m_command.Signal();
        // The done byte is the low byte of the word at offset 12; the server
        // wakes waiters on that word, and the wait looks again every 5 ms
        // for a server that does not.
        auto* word = reinterpret_cast<std::uint32_t*>(&block->done);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
        for (;;) {
            const std::uint32_t seen = std::atomic_ref<std::uint32_t>(*word).load();
            if ((seen & 0xFF) != 0) {
                result = QvLoad(block->result);
                break;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            qvplat::WaitOnSharedWord(
                word, seen, static_cast<std::uint32_t>(std::min<long long>(left.count(), kPollMs)));
        }
    }
    UnlockExchange();
    return result;
}

bool QvCommChannel::Listen()
{
    if (m_side != Side::Serving || m_listener || !m_command.IsValid()) {
        return false;
    }
    m_listener = std::make_unique<QvCommMgrListener>(this, kQvListenerPrefix + m_name);
    return m_listener->IsValid() && m_command.AddListener(*m_listener);
}

void QvCommChannel::StopListening()
{
    m_listener.reset();
}

void QvCommChannel::OnSignal()
{
    QvCommandBlock* block = GetCommandBlock();
    // A wake-up without a waiting command (done already set) runs nothing.
    if (block == nullptr || QvLoad(block->done) != 0) {
        return;
    }
    m_snapshot.assign(m_dataSize, 0);
    int result = -1;
    if (m_data.Read(m_snapshot.data(), m_dataSize, QvSharedMemory::kBinary)) {
        QvStore(block->dataAddress, 0);
        result = HandleCommand(QvLoad(block->code), m_snapshot);
    }
    QvStore(block->result, result);
    QvStore(block->done, 1);
    qvplat::WakeSharedWord(reinterpret_cast<std::uint32_t*>(&block->done));
}

int QvCommChannel::HandleCommand(int, std::span<const std::uint8_t>)
{
    return 0;
}
