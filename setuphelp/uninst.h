#pragma once
// The uninstall command file and its line language.
//
// One line is one command; the line ends at LF, CR LF, CR or NUL.
//   program[,parameters][#prompt]   opens program with the parameters (after
//                                   asking the prompt, when there is one; the
//                                   line is skipped unless the answer is OK)
//   program#prompt,parameters       the same
//   #prompt                         asks at once: Cancel ends the run
//   <number>$                       pauses that many milliseconds; any line
//                                   with a '$' is a pause (the number at the
//                                   start of the line, the '$' read as a
//                                   blank, negative numbers as 0)
// The first ',' and the first '#' are the separators; a later one is text.
// Blanks around the program name are dropped; a line without a program name
// does nothing. A line longer than kMaxCommandLine characters is skipped
// whole. The last line runs with or without a line end.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qvsetup {

inline constexpr std::size_t kMaxCommandLine = 1022;

// Carries out what the lines ask for.
class UninstRunner
{
public:
    virtual ~UninstRunner();
    // Asks a question with OK and Cancel; true on OK.
    virtual bool Ask(const std::string& prompt) = 0;
    virtual void Pause(std::uint32_t milliseconds) = 0;
    virtual void Run(const std::string& program, const std::string& parameters) = 0;
    // Line lineNumber (from 1) is too long and was skipped.
    virtual void SkipLongLine(std::size_t lineNumber) = 0;
};

// Runs the lines of a command file in order; false when a prompt ended the run.
bool RunCommandFile(std::string_view text, UninstRunner& runner);

// The sleep of UninstInitialize (pauses and the wait at the end). Installs
// fn and returns the previous one; an empty fn restores the real sleep.
// Not for use while UninstInitialize runs.
using SleepFn = std::function<void(std::uint32_t milliseconds)>;
SleepFn SetUninstSleep(SleepFn fn);

} // namespace qvsetup
