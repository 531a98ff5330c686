#include "core/strings/utxmsg.h"

#include "platform/msgbox.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A private heap copy of a NUL-terminated text; a null text copies as "".
char* duplicateText(const char* text)
{
    if (text == nullptr) {
        text = "";
    }
    const std::size_t size = std::strlen(text) + 1;
    char* copy = new char[size];
    std::memcpy(copy, text, size);
    return copy;
}

} // namespace

// ---------------------------------------------------------------------------
// UtMessageText

UtMessageText::UtMessageText(const char* text) : m_text(duplicateText(text)) {}

char* UtMessageText::format(const char* fmt, ...)
{
    char area[formatAreaSize];
    va_list args;
    va_start(args, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int written = std::vsnprintf(area, sizeof area, fmt != nullptr ? fmt : "", args);
#pragma GCC diagnostic pop
    va_end(args);
    if (written < 0) {
        area[0] = '\0';
    }
    return duplicateText(area);
}

UtMessageText::UtMessageText(const UtMessageText& other) : m_text(duplicateText(other.m_text)) {}

UtMessageText& UtMessageText::operator=(const UtMessageText& other)
{
    if (this != &other) {
        char* copy = duplicateText(other.m_text);
        delete[] m_text;
        m_text = copy;
    }
    return *this;
}

UtMessageText::~UtMessageText()
{
    delete[] m_text;
}

// ---------------------------------------------------------------------------
// Utxmsg

Utxmsg::Utxmsg(const char* text) : m_text(nullptr), m_owns(false)
{
    adopt(text, true);
}

Utxmsg::Utxmsg(const UtMessageText& msg) : m_text(nullptr), m_owns(false)
{
    adopt(msg.str(), true);
}

Utxmsg::Utxmsg(const char* text, bool copyText) : m_text(nullptr), m_owns(false)
{
    adopt(text, copyText);
}

Utxmsg::Utxmsg(const Utxmsg& other) : m_text(nullptr), m_owns(false)
{
    adopt(other.m_text, other.m_owns);
}

Utxmsg& Utxmsg::operator=(const Utxmsg& other)
{
    if (this != &other) {
        // Copy before freeing, so nothing is lost if the copy cannot be made.
        const char* text = other.m_owns ? duplicateText(other.m_text) : other.m_text;
        releaseText();
        m_text = text;
        m_owns = other.m_owns;
    }
    return *this;
}

Utxmsg::~Utxmsg()
{
    releaseText();
}

const char* Utxmsg::why() const
{
    return m_text != nullptr ? m_text : "";
}

void Utxmsg::raise() const
{
    throwError(*this);
}

void Utxmsg::adopt(const char* text, bool copyText)
{
    m_text = copyText ? duplicateText(text) : text;
    m_owns = copyText;
}

void Utxmsg::releaseText()
{
    if (m_owns) {
        delete[] m_text;
    }
    m_text = nullptr;
    m_owns = false;
}

// ---------------------------------------------------------------------------
// The derived classes

Utxalloc::Utxalloc(std::uint32_t size) : Utxmsg(utCoreMsg_NOMEM().text, false), m_size(size) {}

void Utxalloc::raise() const
{
    throwError(*this);
}

UtExternalErr::UtExternalErr(const char* text) : Utxmsg(text) {}
UtExternalErr::UtExternalErr(const UtMessageText& msg) : Utxmsg(msg) {}

void UtExternalErr::raise() const
{
    throwError(*this);
}

UtFileErr::UtFileErr(const char* text, std::uint32_t value1, std::uint32_t value2)
    : UtExternalErr(text), m_value1(value1), m_value2(value2)
{
}

UtFileErr::UtFileErr(const UtMessageText& msg, std::uint32_t value1, std::uint32_t value2)
    : UtExternalErr(msg), m_value1(value1), m_value2(value2)
{
}

void UtFileErr::raise() const
{
    throwError(*this);
}

UtStreamErr::UtStreamErr(const char* text, std::uint32_t value)
    : UtExternalErr(text), m_value(value)
{
}

UtStreamErr::UtStreamErr(const UtMessageText& msg, std::uint32_t value)
    : UtExternalErr(msg), m_value(value)
{
}

void UtStreamErr::raise() const
{
    throwError(*this);
}

UtInternalErr::UtInternalErr(const char* text) : Utxmsg(text) {}
UtInternalErr::UtInternalErr(const UtMessageText& msg) : Utxmsg(msg) {}

void UtInternalErr::raise() const
{
    throwError(*this);
}

UtBoundsErr::UtBoundsErr(const char* text) : UtInternalErr(text) {}
UtBoundsErr::UtBoundsErr(const UtMessageText& msg) : UtInternalErr(msg) {}

void UtBoundsErr::raise() const
{
    throwError(*this);
}

// ---------------------------------------------------------------------------
// Throw functions: each copy-constructs its parameter's exact class.

void throwError(const Utxmsg& err)
{
    throw Utxmsg(err);
}

void throwError(const Utxalloc& err)
{
    throw Utxalloc(err);
}

void throwError(const UtExternalErr& err)
{
    throw UtExternalErr(err);
}

void throwError(const UtFileErr& err)
{
    throw UtFileErr(err);
}

void throwError(const UtStreamErr& err)
{
    throw UtStreamErr(err);
}

void throwError(const UtInternalErr& err)
{
    throw UtInternalErr(err);
}

void throwError(const UtBoundsErr& err)
{
    throw UtBoundsErr(err);
}

// ---------------------------------------------------------------------------
// Fatal-error hook

namespace {

std::atomic<UtFatalErrorHook> g_fatalErrorHook{&defaultFatalErrorHook};

} // namespace

UtFatalErrorHook setFatalErrorHook(UtFatalErrorHook hook)
{
    if (hook == nullptr) {
        hook = &defaultFatalErrorHook;
    }
    return g_fatalErrorHook.exchange(hook);
}

void defaultFatalErrorHook(const Utxmsg& err)
{
    qvplat::MessageBox(err.why(), "Fatal Error", qvplat::MB_TASKMODAL | qvplat::MB_ICONERROR);
    std::exit(1);
}
