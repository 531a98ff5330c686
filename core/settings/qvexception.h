#pragma once
// The error object thrown by the socket layer: where the error happened, what
// it was and its error code, with two ready-made texts for showing it.

#include "core/qvexport.h"

#include <string>

class QV_API QvException
{
public:
    // Copies both texts; null pointers count as empty texts.
    QvException(const char* fileName, int line, const char* message, int code);
    QvException(const QvException&) = default;
    QvException(QvException&&) = default;
    QvException& operator=(const QvException&) = default;
    QvException& operator=(QvException&&) = default;
    virtual ~QvException();

    // Shows the short text in an information message box with an empty caption.
    virtual void ShowError() const;

    int GetCode() const { return m_code; }
    const char* GetFileName() const { return m_fileName.c_str(); }
    int GetLine() const { return m_line; }
    const char* GetMessage() const { return m_message.c_str(); }
    // "<message> (<code>)"
    const char* GetShortText() const { return m_shortText.c_str(); }
    // "File: <file>, Line: <line>\n\n<message> (<code>)"
    const char* GetLongText() const { return m_longText.c_str(); }

private:
    int m_code;
    std::string m_fileName;
    int m_line;
    std::string m_message;
    std::string m_shortText;
    std::string m_longText;
};
