// Sends the process's debug log to a private temporary file while it lives,
// so a test can read what the code under test logged.
#pragma once

#include "core/settings/qvlog.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace coretest {

class DebugLogCapture
{
public:
    DebugLogCapture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvlog-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_dir = pattern;
        m_file = m_dir / "debug.log";
        QvSetDebugFile(m_file.c_str());
    }
    ~DebugLogCapture()
    {
        QvCloseLogFiles();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    DebugLogCapture(const DebugLogCapture&) = delete;
    DebugLogCapture& operator=(const DebugLogCapture&) = delete;

    // Everything logged so far.
    std::string Text() const
    {
        std::ifstream in(m_file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_file;
};

} // namespace coretest
