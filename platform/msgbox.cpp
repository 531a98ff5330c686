#include "platform/msgbox.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace qvplat {
namespace {

std::mutex& HandlerMutex()
{
    static std::mutex mutex;
    return mutex;
}

MessageBoxFn& CurrentHandler()
{
    static MessageBoxFn handler = DefaultMessageBox;
    return handler;
}

} // namespace

int DefaultAnswer(unsigned flags)
{
    const unsigned buttons = flags & MB_TYPEMASK;
    const unsigned defButton = (flags & MB_DEFMASK) >> 8;
    switch (buttons) {
    case MB_OKCANCEL:
        return defButton == 1 ? IDCANCEL : IDOK;
    case MB_YESNO:
        return defButton == 1 ? IDNO : IDYES;
    case MB_YESNOCANCEL:
        if (defButton == 1) {
            return IDNO;
        }
        return defButton == 2 ? IDCANCEL : IDYES;
    default:
        return IDOK;
    }
}

int DefaultMessageBox(const char* text, const char* caption, unsigned flags)
{
    std::string line;
    if (caption != nullptr && *caption != '\0') {
        line = caption;
        line += ": ";
    }
    line += text != nullptr ? text : "";
    line += '\n';
    // One write, so lines from several threads do not interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return DefaultAnswer(flags);
}

int MessageBox(const char* text, const char* caption, unsigned flags)
{
    MessageBoxFn handler;
    {
        std::lock_guard lock(HandlerMutex());
        handler = CurrentHandler();
    }
    // Called outside the lock: a handler may itself show a message box.
    return handler(text != nullptr ? text : "", caption != nullptr ? caption : "", flags);
}

MessageBoxFn SetMessageBoxHandler(MessageBoxFn handler)
{
    if (!handler) {
        handler = DefaultMessageBox;
    }
    std::lock_guard lock(HandlerMutex());
    return std::exchange(CurrentHandler(), std::move(handler));
}

} // namespace qvplat
