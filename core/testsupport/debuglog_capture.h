// Sends the process's debug log to a private temporary file while it lives,
// so a test can read what the code under test logged.
#pragma once

#include "core/settings/qvlog.h"
#include "platform/testsupport/tempfiles.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace coretest {

class DebugLogCapture
{
public:
    DebugLogCapture()
    {
        if (!m_dir.Valid()) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_file = m_dir.File("debug.log");
        QvSetDebugFile(m_file.c_str());
    }
    ~DebugLogCapture()
    {
        QvCloseLogFiles();
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
    qvtest::TempDir m_dir{"qvlog"};
    std::filesystem::path m_file;
};

} // namespace coretest
