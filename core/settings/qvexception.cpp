#include "core/settings/qvexception.h"

#include "platform/msgbox.h"

namespace {

std::string TextOrEmpty(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

} // namespace

QvException::QvException(const char* fileName, int line, const char* message, int code)
    : m_code(code), m_fileName(TextOrEmpty(fileName)), m_line(line), m_message(TextOrEmpty(message))
{
    m_shortText = m_message + " (" + std::to_string(m_code) + ")";
    m_longText = "File: " + m_fileName + ", Line: " + std::to_string(m_line) + "\n\n" + m_shortText;
}

QvException::~QvException() = default;

void QvException::ShowError() const
{
    qvplat::MessageBox(m_shortText.c_str(), "", qvplat::MB_ICONINFORMATION);
}
