// The uninstall command-file interpreter on arbitrary bytes, with a runner
// that runs nothing and checks what it is handed.
#include "setuphelp/launch.h"
#include "setuphelp/uninst.h"

#include <cstdlib>

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool OneLine(const std::string& text)
{
    return text.size() < qvsetup::kMaxCommandLine &&
           text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

class NoOpRunner : public qvsetup::UninstRunner
{
public:
    bool Ask(const std::string& prompt) override
    {
        Check(OneLine(prompt));
        return prompt.size() % 2 == 0;
    }
    void Pause(std::uint32_t milliseconds) override { Check(milliseconds <= 0x7FFFFFFF); }
    void Run(const std::string& program, const std::string& parameters) override
    {
        Check(OneLine(program) && OneLine(parameters) && !program.empty());
        Check(program.front() != ' ' && program.back() != ' ');
        Check(program.find_first_of(",#$") == std::string::npos);
        qvsetup::SplitArguments(parameters);
    }
    void SkipLongLine(std::size_t lineNumber) override { Check(lineNumber > 0); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NoOpRunner runner;
    qvsetup::RunCommandFile(std::string_view(reinterpret_cast<const char*>(data), size), runner);
    return 0;
}
