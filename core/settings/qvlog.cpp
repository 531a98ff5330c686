#include "core/settings/qvlog.h"

#include "platform/msgbox.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace {

// Bits of the output-selection word.
constexpr unsigned kLogFileBit = 1;
constexpr unsigned kDebugFileBit = 2;
constexpr unsigned kBothFiles = kLogFileBit | kDebugFileBit;

// Size of a line and of a formatted message, terminating NUL included.
constexpr std::size_t kLineSize = 256;

constexpr std::string_view kExitingText = "\n\nExiting...";

// How a writer finishes its line.
enum class LineEnding {
    None,    // the text as formatted
    Newline, // the text and "\n"
    Exiting, // the text and "\n\nExiting..."
    Timed,   // "HH:MM:SS  ", the text and "\n"
};

// The process-wide state. The selection word is read without the lock to let
// writers with nothing to write return at once; the file pointers are only
// touched under the lock.
std::FILE* g_debugFile = nullptr;
std::FILE* g_logFile = nullptr;
std::atomic<unsigned> g_selection{0};

std::tm SystemLocalTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::atomic<QvLogClock> g_clock{&SystemLocalTime};

// The one lock around formatting and writing. It is recursive so that a
// message box handler shown by QvErrorExit may itself log. It is never
// destroyed: threads still logging while the process exits must find it alive.
// It lives in the module's own static storage rather than on the heap, so a
// netcore that is loaded and unloaded again leaves nothing behind.
std::recursive_mutex& LogLock()
{
    alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
    static auto* const lock = new (storage) std::recursive_mutex;
    return *lock;
}

// Created while the module's statics are initialised, before any thread of the
// program can log.
[[maybe_unused]] const bool g_lockCreated = (LogLock(), true);

// A line of at most kLineSize - 1 characters that never overflows.
class LogLine
{
public:
    // Appends as much of the text as fits while keeping `reserve` characters
    // free for what has to follow it.
    void Append(std::string_view text, std::size_t reserve = 0)
    {
        const std::size_t capacity = kLineSize - 1;
        const std::size_t room = capacity - std::min(capacity, m_length + reserve);
        const std::size_t count = std::min(text.size(), room);
        text.copy(m_text + m_length, count);
        m_length += count;
        m_text[m_length] = '\0';
    }

    std::string_view View() const { return {m_text, m_length}; }
    const char* CStr() const { return m_text; }

private:
    char m_text[kLineSize] = {};
    std::size_t m_length = 0;
};

// Formats into the message buffer, cutting what does not fit.
std::string_view FormatMessage(char (&buffer)[kLineSize], const char* format, std::va_list args)
{
    const int written = std::vsnprintf(buffer, kLineSize, format != nullptr ? format : "", args);
    if (written < 0) {
        buffer[0] = '\0';
        return {};
    }
    return {buffer, std::min(static_cast<std::size_t>(written), kLineSize - 1)};
}

// The current local time as "HH:MM:SS".
std::string TimeStamp()
{
    const std::tm now = g_clock.load()();
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
    return text;
}

void ComposeLine(LogLine& line, LineEnding ending, const char* format, std::va_list args)
{
    char message[kLineSize];
    const std::string_view text = FormatMessage(message, format, args);
    switch (ending) {
    case LineEnding::None:
        line.Append(text);
        break;
    case LineEnding::Newline:
        line.Append(text, 1);
        line.Append("\n");
        break;
    case LineEnding::Exiting:
        line.Append(text, kExitingText.size());
        line.Append(kExitingText);
        break;
    case LineEnding::Timed:
        line.Append(TimeStamp());
        line.Append("  ");
        line.Append(text, 1);
        line.Append("\n");
        break;
    }
}

// Writes the line as plain data to one file and flushes it.
void WriteTo(std::FILE* file, std::string_view text)
{
    if (file == nullptr) {
        return;
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

// Writes to the selected files among `targets`. Called with the lock held.
void WriteLine(unsigned targets, const LogLine& line)
{
    if ((targets & kDebugFileBit) != 0) {
        WriteTo(g_debugFile, line.View());
    }
    if ((targets & kLogFileBit) != 0) {
        WriteTo(g_logFile, line.View());
    }
}

// Set once a fatal exit has written its text: lines that come later are
// dropped, so the exit text stays the last line of both files.
std::atomic<bool> g_exiting{false};

bool AnySelected(unsigned targets)
{
    return (g_selection.load(std::memory_order_acquire) & targets) != 0;
}

void Write(unsigned targets, LineEnding ending, const char* format, std::va_list args)
{
    if (!AnySelected(targets)) {
        return;
    }
    std::lock_guard lock(LogLock());
    if (g_exiting.load(std::memory_order_relaxed)) {
        return;
    }
    LogLine line;
    ComposeLine(line, ending, format, args);
    WriteLine(targets, line);
}

// Opens a file and makes it the destination of one of the two outputs. The
// file replaced is flushed and closed under the lock, so no writer is using it.
void SetFile(const char* fileName, const char* mode, std::FILE*& slot, unsigned bit,
             const char* failureText)
{
    std::FILE* opened = nullptr;
    if (fileName != nullptr) {
        opened = std::fopen(qvplat::MapPath(fileName).c_str(), mode);
    }
    if (opened == nullptr) {
        const std::string text = std::string(failureText) + (fileName != nullptr ? fileName : "");
        qvplat::MessageBox(text.c_str(), nullptr, qvplat::MB_ICONINFORMATION);
        return;
    }
    std::lock_guard lock(LogLock());
    std::FILE* previous = std::exchange(slot, opened);
    g_selection.fetch_or(bit, std::memory_order_release);
    if (previous != nullptr) {
        std::fclose(previous);
    }
}

} // namespace

extern "C" {

void QvSetDebugFile(const char* fileName)
{
    SetFile(fileName, "a", g_debugFile, kDebugFileBit, "Failed to open debug log file: ");
}

void QvSetLogFile(const char* fileName)
{
    SetFile(fileName, "a+", g_logFile, kLogFileBit, "Failed to open log file: ");
}

void QvDebugOut(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Write(kDebugFileBit, LineEnding::None, format, args);
    va_end(args);
}

void QvDebugMsg(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Write(kDebugFileBit, LineEnding::Newline, format, args);
    va_end(args);
}

void QvDebugMsgTime(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Write(kDebugFileBit, LineEnding::Timed, format, args);
    va_end(args);
}

void QvLog(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Write(kBothFiles, LineEnding::Timed, format, args);
    va_end(args);
}

void QvErrorMsg(bool condition, const char* format, ...)
{
    if (condition) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    Write(kBothFiles, LineEnding::Newline, format, args);
    va_end(args);
}

void QvErrorExit(bool condition, const char* format, ...)
{
    if (condition) {
        return;
    }
    // Taken and never released: a second fatal error waits here until the
    // process is gone, so only one box is shown.
    static std::mutex exitLock;
    exitLock.lock();

    LogLine line;
    {
        std::lock_guard lock(LogLock());
        std::va_list args;
        va_start(args, format);
        ComposeLine(line, LineEnding::Exiting, format, args);
        va_end(args);
        WriteLine(kBothFiles, line);
        std::fflush(nullptr);
        g_exiting.store(true, std::memory_order_relaxed);
    }
    // The log lock is free while the box is up: the box may be shown by
    // another thread (a window program's user-interface thread), which may
    // log while it waits for the user.
    qvplat::MessageBox(line.CStr(), nullptr, qvplat::MB_ICONINFORMATION);
    std::_Exit(1);
}

} // extern "C"

QvLogClock QvSetLogClock(QvLogClock clock)
{
    return g_clock.exchange(clock != nullptr ? clock : &SystemLocalTime);
}

void QvCloseLogFiles()
{
    std::lock_guard lock(LogLock());
    g_selection.store(0, std::memory_order_release);
    for (std::FILE** slot : {&g_debugFile, &g_logFile}) {
        if (*slot != nullptr) {
            std::fclose(*slot);
            *slot = nullptr;
        }
    }
}
