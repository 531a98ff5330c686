// The uninstall command-file interpreter on arbitrary bytes, with a runner
// that runs nothing and checks what the interpreter hands it.
#include "setuphelp/launch.h"
#include "setuphelp/uninst.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool HasLineEnd(const std::string& text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

class NoOpRunner : public qvsetup::UninstRunner
{
public:
    bool Ask(const std::string& prompt) override
    {
        Check(!HasLineEnd(prompt) && prompt.size() < qvsetup::kMaxCommandLine);
        return prompt.size() % 2 == 0;
    }
    void Pause(std::uint32_t milliseconds) override { Check(milliseconds <= 0x7FFFFFFF); }
    void Run(const std::string& program, const std::string& parameters) override
    {
        Check(!program.empty() && program.front() != ' ' && program.back() != ' ');
        Check(!HasLineEnd(program) && !HasLineEnd(parameters));
        Check(program.find_first_of(",#$") == std::string::npos);
        qvsetup::SplitArguments(parameters);
    }
    void SkipLongLine(std::size_t lineNumber) override { Check(lineNumber > 0); }

private:
    static void Check(bool condition)
    {
        if (!condition) {
            std::abort();
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NoOpRunner runner;
    qvsetup::RunCommandFile(std::string_view(reinterpret_cast<const char*>(data), size), runner);
    return 0;
}
