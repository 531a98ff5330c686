// Arbitrary directory entries (NUL-separated texts) rebuilt into the output
// file's text: every program's text is whole lines, so the file is too.
#include "castwatch/model/directoryview.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string file;
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        const castwatch::Program program =
            castwatch::DescribeProgram(input.substr(start, end - start));
        const std::string& text = program.rebuilt;
        if (text.find('\0') != std::string::npos || (!text.empty() && text.back() != '\n') ||
            program.line.find('\n') != std::string::npos) {
            std::abort();
        }
        file += text;
        start = end + 1;
    }
    if (!file.empty() && file.back() != '\n') {
        std::abort();
    }
    return 0;
}
