#pragma once
// The user-interface dispatcher of wx programs: work is queued on the
// application object and runs in its event loop (also inside modal loops).

#include "platform/ui/uidispatch.h"

#include <memory>
#include <mutex>

namespace qvplat {

class WxUiDispatcher final : public UiDispatcher
{
public:
    // A dispatcher for the running application; null when there is none.
    static std::shared_ptr<WxUiDispatcher> Create();

    bool Post(std::function<void()> fn) override;
    bool IsUiThread() const override;
    // Refuses further work; the program calls it when its application ends.
    void Close();

private:
    WxUiDispatcher() = default;

    std::mutex m_lock;
    bool m_open = true;
};

} // namespace qvplat
