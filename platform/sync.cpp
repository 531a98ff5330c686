#include "platform/sync.h"

namespace qvplat {

void Mutex::lock()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock lk(m_guard);
    if (m_depth > 0 && m_owner == self) {
        ++m_depth;
        return;
    }
    m_freed.wait(lk, [this] { return m_depth == 0; });
    m_owner = self;
    m_depth = 1;
}

bool Mutex::try_lock()
{
    const auto self = std::this_thread::get_id();
    std::lock_guard lk(m_guard);
    if (m_depth == 0) {
        m_owner = self;
        m_depth = 1;
        return true;
    }
    if (m_owner == self) {
        ++m_depth;
        return true;
    }
    return false;
}

bool Mutex::Release()
{
    {
        std::lock_guard lk(m_guard);
        if (m_depth == 0 || m_owner != std::this_thread::get_id()) {
            return false;
        }
        if (--m_depth > 0) {
            return true;
        }
        m_owner = std::thread::id{};
    }
    m_freed.notify_one();
    return true;
}

bool Mutex::IsOwnedByCurrentThread() const
{
    std::lock_guard lk(m_guard);
    return m_depth > 0 && m_owner == std::this_thread::get_id();
}

} // namespace qvplat
