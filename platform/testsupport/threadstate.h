// Whether the threads of this process have reached a wait, for tests that
// must release a thread only once it waits (or check that nothing got past
// a wait) without a fixed delay.
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// The scheduler state of a thread of this process, by its kernel id: 'R'
// running or ready, 'S' asleep in a wait, 'D' in an uninterruptible wait,
// 'Z' or 'X' ending, and so on; '\0' when there is no such thread (any
// more).
inline char ThreadState(unsigned long threadId)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(threadId) + "/stat");
    std::string text;
    std::getline(stat, text);
    // "<id> (<name>) <state> ...": the name may hold spaces and parentheses.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos || end + 2 >= text.size()) {
        return '\0';
    }
    return text[end + 2];
}

// Polls until every one of the threads is asleep in a wait or has ended;
// false when that did not happen within the timeout.
inline bool WaitUntilAsleep(const std::vector<unsigned long>& threadIds,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool asleep = true;
        for (const unsigned long id : threadIds) {
            const char state = ThreadState(id);
            asleep = asleep && (state == 'S' || state == 'D' || state == 'Z' || state == 'X' ||
                                state == '\0');
        }
        if (asleep) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

inline bool WaitUntilAsleep(unsigned long threadId,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return WaitUntilAsleep(std::vector<unsigned long>{threadId}, timeout);
}

} // namespace qvtest
