#include "platform/ui/uimsgbox.h"

#include <string>
#include <utility>

namespace qvplat {

UiMessageBoxes::UiMessageBoxes(MessageBoxFn show)
    : m_show(std::move(show)), m_owner(std::this_thread::get_id())
{
}

void UiMessageBoxes::SetDispatcher(std::shared_ptr<UiDispatcher> dispatcher)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_dispatcher = std::move(dispatcher);
}

int UiMessageBoxes::Show(const char* text, const char* caption, unsigned flags)
{
    std::shared_ptr<UiDispatcher> dispatcher;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        dispatcher = m_dispatcher;
    }
    if (dispatcher == nullptr) {
        if (std::this_thread::get_id() == m_owner) {
            return m_show(text, caption, flags);
        }
        return DefaultMessageBox(text, caption, flags);
    }
    // The texts are copied: the caller's may not outlive a dropped request.
    int answer = DefaultAnswer(flags);
    const std::string ownText = text;
    const std::string ownCaption = caption;
    if (!RunOnUiThreadAndWait(*dispatcher, [&] {
            answer = m_show(ownText.c_str(), ownCaption.c_str(), flags);
        })) {
        return DefaultMessageBox(text, caption, flags);
    }
    return answer;
}

MessageBoxFn UiMessageBoxes::Handler()
{
    return [this](const char* text, const char* caption, unsigned flags) {
        return Show(text, caption, flags);
    };
}

} // namespace qvplat
