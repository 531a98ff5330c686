// Shared pieces of the engine tests: a host that records the posted
// messages, and command data.
#pragma once

#include "capture/channel/tests/signal_waiter.h"
#include "capture/engine/model/qvcaptureengine.h"

#include <algorithm>
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
