#pragma once
// The capture dialog's log: the newest 1000 characters of what was logged.
//
// Lines come from the user-interface thread, the writer thread and the
// receiver's thread, so every call takes the log's lock. The window is told
// of changes through one pending update at a time: Append answers true only
// for the append that found no update pending, and the window clears the
// pending mark (MarkShown) before it reads the text, so an append that comes
// while it shows the text asks for another update and nothing is missed.

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace grabtool {

class CaptureLog
{
public:
    static constexpr std::size_t kKeep = 1000;

    // Appends the text, keeping only the newest kKeep bytes (never the tail
    // of a cut UTF-8 character). True when an update of the window is due.
    bool Append(std::string_view text);
    // Called on the user-interface thread just before the text is shown.
    void MarkShown();
    std::string Text() const;

private:
    mutable std::mutex m_lock;
    std::string m_text;
    bool m_updatePending = false;
};

} // namespace grabtool
