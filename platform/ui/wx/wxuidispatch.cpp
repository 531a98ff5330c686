#include "platform/ui/wx/wxuidispatch.h"

#include <wx/app.h>
#include <wx/thread.h>

namespace qvplat {

std::shared_ptr<WxUiDispatcher> WxUiDispatcher::Create()
{
    if (wxTheApp == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<WxUiDispatcher>(new WxUiDispatcher());
}

bool WxUiDispatcher::Post(std::function<void()> fn)
{
    {
        // Held while queuing, so Close() on the UI thread cannot pass a post
        // that is still handing work to the application.
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_open && fn && wxTheApp != nullptr) {
            wxTheApp->CallAfter(std::move(fn));
            return true;
        }
    }
    fn = nullptr;
    return false;
}

bool WxUiDispatcher::IsUiThread() const
{
    return wxIsMainThread();
}

void WxUiDispatcher::Close()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_open = false;
}

} // namespace qvplat
