#include "grabtool/model/capturelog.h"

namespace grabtool {

bool CaptureLog::Append(std::string_view text)
{
    const std::lock_guard lock(m_lock);
    m_text.append(text);
    if (m_text.size() > kKeep) {
        std::size_t cut = m_text.size() - kKeep;
        // A UTF-8 continuation byte would make the shown text invalid.
        while (cut < m_text.size() && (static_cast<unsigned char>(m_text[cut]) & 0xC0) == 0x80) {
            ++cut;
        }
        m_text.erase(0, cut);
    }
    const bool due = !m_updatePending;
    m_updatePending = true;
    return due;
}

void CaptureLog::MarkShown()
{
    const std::lock_guard lock(m_lock);
    m_updatePending = false;
}

std::string CaptureLog::Text() const
{
    const std::lock_guard lock(m_lock);
    return m_text;
}

} // namespace grabtool
