#pragma once
// Message boxes of window programs, always shown on the user-interface
// thread.
//
// Workers report errors through qvplat::MessageBox too (a failed receive, a
// fatal error); a window program installs Handler() so that such a box is
// handed to the user-interface thread, and the worker waits there for the
// answer as it would wait for a box of its own. The wait holds no lock of
// this class, and the core's fatal-error exit leaves the log lock free
// while its box is up, so the user-interface thread may log meanwhile.

#include "platform/msgbox.h"
#include "platform/ui/uidispatch.h"

#include <memory>
#include <mutex>
#include <thread>

namespace qvplat {

class UiMessageBoxes
{
public:
    // `show` puts a box on the screen; it is only ever called on the
    // user-interface thread, which is taken to be the constructing thread
    // until a dispatcher is set.
    explicit UiMessageBoxes(MessageBoxFn show);
    UiMessageBoxes(const UiMessageBoxes&) = delete;
    UiMessageBoxes& operator=(const UiMessageBoxes&) = delete;

    // The dispatcher of the running event loop; null once the loop has ended.
    // Without one a box asked for off the constructing thread goes to the
    // default handler (standard error) instead of waiting for nobody.
    void SetDispatcher(std::shared_ptr<UiDispatcher> dispatcher);

    int Show(const char* text, const char* caption, unsigned flags);

    // A handler for SetMessageBoxHandler that calls Show on this object,
    // which must outlive its installation.
    MessageBoxFn Handler();

private:
    MessageBoxFn m_show;
    const std::thread::id m_owner;
    std::mutex m_lock;
    std::shared_ptr<UiDispatcher> m_dispatcher;
};

} // namespace qvplat
