// Shared pieces of the engine tests: a host that records the posted
// messages, and a listener that tells when a status block was signalled.
#pragma once

#include "capture/engine/qvcaptureengine.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace enginetest {

class RecordingHost : public QvCaptureEngineHost
{
public:
    void PostEngineMessage(unsigned message) override
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_posted.push_back(message);
    }
    std::vector<unsigned> Posted()
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_posted;
    }

private:
    std::mutex m_lock;
    std::vector<unsigned> m_posted;
};

// Counts the signals of the status listener "x_QvLis", as the control hears
// them.
class StatusListener : public QvCommMgrListener::Owner
{
public:
    StatusListener() : m_listener(this, kQvStatusListenerName) {}
    ~StatusListener() override = default;

    bool Attach(QvSharedBlock& block) { return block.AddListener(m_listener); }
    void OnSignal() override
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        ++m_signals;
        m_changed.notify_all();
    }
    bool WaitForSignal(std::chrono::seconds limit = std::chrono::seconds(120))
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, limit, [&] { return m_signals > 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_signals = 0;
    QvCommMgrListener m_listener; // last: its thread calls OnSignal
};

// The data block of one command.
inline std::vector<std::uint8_t> CommandData(const std::string& bytes = {})
{
    std::vector<std::uint8_t> data(kQvChannelDataSize, 0);
    std::memcpy(data.data(), bytes.data(), std::min(bytes.size(), data.size()));
    return data;
}

template <class T> std::vector<std::uint8_t> ValueData(T value)
{
    std::vector<std::uint8_t> data = CommandData();
    std::memcpy(data.data() + kQvCommandValueOffset, &value, sizeof value);
    return data;
}

} // namespace enginetest
