#pragma once
// Error objects raised by the class library, the message catalogue that words
// them, and the process-wide fatal-error hook.
//
// Every error derives from Utxmsg, so one handler catching Utxmsg catches them
// all. Errors are raised through throwError, which throws a copy whose static
// type is the exact class of the object passed in.

#include "core/qvexport.h"

#include <cstdint>
#include <type_traits>

// One entry of the message catalogue. The text is a printf format; its
// bracketed tag names the record's accessor below.
struct UtMessageRecord
{
    const char* domain;
    std::uint32_t number;
    const char* text;
    std::uint32_t reserved; // always 0
};

// Catalogue records of the "uttools6.0" domain.
QV_API const UtMessageRecord& utToolsMsg_ALLOCOUT();
QV_API const UtMessageRecord& utToolsMsg_BADRE();
QV_API const UtMessageRecord& utToolsMsg_CRABS();
QV_API const UtMessageRecord& utToolsMsg_FLIST();
QV_API const UtMessageRecord& utToolsMsg_ID();
QV_API const UtMessageRecord& utToolsMsg_INDEX();
QV_API const UtMessageRecord& utToolsMsg_LOCK();
QV_API const UtMessageRecord& utToolsMsg_LONGINDEX();
QV_API const UtMessageRecord& utToolsMsg_MAGIC();
QV_API const UtMessageRecord& utToolsMsg_NEVECL();
QV_API const UtMessageRecord& utToolsMsg_NOCREATE();
QV_API const UtMessageRecord& utToolsMsg_NOTALLOW();
QV_API const UtMessageRecord& utToolsMsg_READERR();
QV_API const UtMessageRecord& utToolsMsg_REF();
QV_API const UtMessageRecord& utToolsMsg_SEEKERR();
QV_API const UtMessageRecord& utToolsMsg_STREAM();
QV_API const UtMessageRecord& utToolsMsg_SUBSTRING();
QV_API const UtMessageRecord& utToolsMsg_UNLOCK();
QV_API const UtMessageRecord& utToolsMsg_WRITEERR();
QV_API const UtMessageRecord& utToolsMsg_INDEXERR();

// Catalogue records of the "utcore6.0" domain.
QV_API const UtMessageRecord& utCoreMsg_EOF();
QV_API const UtMessageRecord& utCoreMsg_GENERIC();
QV_API const UtMessageRecord& utCoreMsg_INVADDR();
QV_API const UtMessageRecord& utCoreMsg_LOCK();
QV_API const UtMessageRecord& utCoreMsg_NOINIT();
QV_API const UtMessageRecord& utCoreMsg_NOMEM();
QV_API const UtMessageRecord& utCoreMsg_OPERR();
QV_API const UtMessageRecord& utCoreMsg_OUTALLOC();
QV_API const UtMessageRecord& utCoreMsg_OVFLOW();
QV_API const UtMessageRecord& utCoreMsg_STREAM();
QV_API const UtMessageRecord& utCoreMsg_SYNSTREAM();

// One owned heap copy of a message text, either given directly or formatted
// from a catalogue record.
class QV_API UtMessageText
{
public:
    // Largest formatted message, terminating NUL included; longer results are
    // cut short.
    static constexpr unsigned formatAreaSize = 504;

    explicit UtMessageText(const char* text);
    // Formats the record's text with the arguments (printf rules): numbers
    // and NUL-terminated texts, each matching its conversion exactly (pass
    // unsigned for %u, not size_t).
    template <class... Args>
    UtMessageText(const UtMessageRecord& rec, Args... args) : m_text(format(rec.text, args...))
    {
        static_assert(((std::is_arithmetic_v<Args> || std::is_pointer_v<Args>)&&...),
                      "message arguments are numbers or NUL-terminated texts");
    }
    UtMessageText(const UtMessageText& other);
    UtMessageText& operator=(const UtMessageText& other);
    ~UtMessageText();

    const char* str() const { return m_text; }

private:
    // A heap copy of the format filled with the arguments.
    static char* format(const char* fmt, ...);

    char* m_text;
};

// Base of every error the library raises: a text, owned (a private heap copy
// freed with the object) or borrowed (a pointer to text that outlives it).
class QV_API Utxmsg
{
public:
    explicit Utxmsg(const char* text);
    explicit Utxmsg(const UtMessageText& msg);
    // Copies the text when copyText is set; otherwise only keeps the pointer,
    // which must stay valid for the life of this object and its copies.
    Utxmsg(const char* text, bool copyText);
    Utxmsg(const Utxmsg& other);
    Utxmsg& operator=(const Utxmsg& other);
    virtual ~Utxmsg();

    const char* why() const;
    bool ownsText() const { return m_owns; }

    // Throws a copy of this object, of its exact class.
    [[noreturn]] virtual void raise() const;

private:
    void adopt(const char* text, bool copyText);
    void releaseText();

    const char* m_text;
    bool m_owns;
};

// Out of memory: carries the size that could not be allocated. Its text is
// the catalogue's "[NOMEM]" text, borrowed, so raising it allocates nothing
// for the text.
class QV_API Utxalloc : public Utxmsg
{
public:
    explicit Utxalloc(std::uint32_t size);

    std::uint32_t size() const { return m_size; }
    [[noreturn]] void raise() const override;

private:
    std::uint32_t m_size;
};

// Errors caused by the outside world (files, streams).
class QV_API UtExternalErr : public Utxmsg
{
public:
    explicit UtExternalErr(const char* text);
    explicit UtExternalErr(const UtMessageText& msg);

    [[noreturn]] void raise() const override;
};

class QV_API UtFileErr : public UtExternalErr
{
public:
    UtFileErr(const char* text, std::uint32_t value1, std::uint32_t value2);
    UtFileErr(const UtMessageText& msg, std::uint32_t value1, std::uint32_t value2);

    std::uint32_t value1() const { return m_value1; }
    std::uint32_t value2() const { return m_value2; }
    [[noreturn]] void raise() const override;

private:
    std::uint32_t m_value1;
    std::uint32_t m_value2;
};

class QV_API UtStreamErr : public UtExternalErr
{
public:
    UtStreamErr(const char* text, std::uint32_t value);
    UtStreamErr(const UtMessageText& msg, std::uint32_t value);

    std::uint32_t value() const { return m_value; }
    [[noreturn]] void raise() const override;

private:
    std::uint32_t m_value;
};

// Errors that mark a programming fault inside the process.
class QV_API UtInternalErr : public Utxmsg
{
public:
    explicit UtInternalErr(const char* text);
    explicit UtInternalErr(const UtMessageText& msg);

    [[noreturn]] void raise() const override;
};

// An index outside the valid range of a string or a collection.
class QV_API UtBoundsErr : public UtInternalErr
{
public:
    explicit UtBoundsErr(const char* text);
    explicit UtBoundsErr(const UtMessageText& msg);

    [[noreturn]] void raise() const override;
};

// Throw a copy of the error; the thrown object's type is the parameter's class.
[[noreturn]] QV_API void throwError(const Utxmsg& err);
[[noreturn]] QV_API void throwError(const Utxalloc& err);
[[noreturn]] QV_API void throwError(const UtExternalErr& err);
[[noreturn]] QV_API void throwError(const UtFileErr& err);
[[noreturn]] QV_API void throwError(const UtStreamErr& err);
[[noreturn]] QV_API void throwError(const UtInternalErr& err);
[[noreturn]] QV_API void throwError(const UtBoundsErr& err);

// The process-wide handler for errors a program decides it cannot survive.
// The library itself never calls it: it reports its errors by throwing.
using UtFatalErrorHook = void (*)(const Utxmsg& err);

// Installs a handler and returns the previous one; null restores the default.
QV_API UtFatalErrorHook setFatalErrorHook(UtFatalErrorHook hook);

// The default handler: a task-modal error message box captioned "Fatal Error"
// showing the error's text, then the process ends with exit code 1.
[[noreturn]] QV_API void defaultFatalErrorHook(const Utxmsg& err);
