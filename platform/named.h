#pragma once
// Named objects shared between the processes of one user: shared memory,
// mutexes and manual-reset events, found by name the way the system's
// processes find each other's file mappings, mutexes and events.
//
// Every object is a file in the runtime directory (RuntimeDirectory(),
// normally $XDG_RUNTIME_DIR) named after the user id, the kind and the name,
// mode 0600. A name may hold any byte but '/' and NUL; one whose file name
// would pass 255 bytes is shortened to a prefix and a hash of the whole name,
// so every process arrives at the same file. A file of another user is
// refused.
//
// Lifetime: an object lives while anyone holds it. Each holder keeps a shared
// lock on the object's lock file ("<file>.lock") for as long as it has the
// object open; create and open run one at a time under an exclusive lock on
// the user's guard file. An object that nobody holds is stale: Create makes
// it anew (zero-filled) and Open fails with ENOENT. The last holder to close
// an object removes its files; a holder that died leaves them to be made
// anew.
//
// Mutexes are robust, process-shared and recursive for the thread that holds
// them; one whose holder died is taken over (made consistent) by the next
// locker. Events are manual-reset: Set wakes every waiter and the event stays
// set until Reset. Waits run on the monotonic clock.
//
// None of these objects may be copied; each belongs to one owner, and its
// operations may run on any thread of that owner.

#include "platform/file.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvplat {

// The runtime file of a named object of one kind ('m' memory, 'x' mutex,
// 'e' event), without ".lock"; "" when the name is refused (empty, or holding
// '/' or NUL) or no runtime directory is available.
std::string NamedObjectPath(char kind, std::string_view name);

enum class NamedWait {
    Done,    // the mutex was taken (also from a holder that died) or the event is set
    Timeout, // the time ran out first
    Failed,  // the object is not open or the system refused (see Error)
};

// The file and mapping of one named object; the base of the three kinds.
class NamedObject
{
public:
    NamedObject(const NamedObject&) = delete;
    NamedObject& operator=(const NamedObject&) = delete;

    bool IsOpen() const { return m_view != nullptr; }
    // True when Create found the object alive (held by someone).
    bool Existed() const { return m_existed; }
    // The errno of the last failure; 0 while healthy.
    int Error() const { return m_error; }
    // Closes the object; the last holder removes its files.
    void Close();

protected:
    NamedObject() = default;
    ~NamedObject();

    // Opens (or with `create`, creates) the object; a new one is `size`
    // zero bytes and is passed to `initialise` before anyone else can open
    // it; `check` vets an existing one (its view and size). Either may refuse
    // with an errno value (0 accepts). `release` runs on the view just before
    // it is unmapped.
    using Initialise = int (*)(void* view);
    using Check = int (*)(const void* view, std::size_t size);
    using Release = void (*)(void* view);
    bool Attach(char kind, std::string_view name, bool create, std::size_t size,
                Initialise initialise, Check check, Release release = nullptr);
    void* View() const { return m_view; }
    std::size_t ViewSize() const { return m_size; }
    bool Fail(int error);

private:
    void* m_view = nullptr;
    std::size_t m_size = 0;
    File m_lock; // our shared lock on "<file>.lock", held while open
    std::string m_path;
    Release m_release = nullptr;
    bool m_existed = false;
    std::atomic<int> m_error{0};
};

// Named shared memory.
class SharedMemory : public NamedObject
{
public:
    SharedMemory() = default;
    ~SharedMemory() = default;

    // Opens the object when it is alive (Existed() then tells so), else
    // makes it `size` zero bytes. An existing object smaller than `size` is
    // an error, never mapped short; a larger one is mapped whole. A size of
    // 0 is refused.
    bool Create(std::string_view name, std::size_t size);
    // Opens a living object at the size it has; ENOENT when nobody holds it.
    bool Open(std::string_view name);

    void* Data() const { return View(); }
    // The mapped size: the object's whole size; 0 when not open.
    std::size_t Size() const { return ViewSize(); }
};

// A named mutex, created unowned.
class NamedMutex : public NamedObject
{
public:
    NamedMutex() = default;
    ~NamedMutex() = default;

    bool Create(std::string_view name);
    bool Open(std::string_view name);

    // Takes the mutex, waiting at most timeoutMs (0 tries once, kInfinite of
    // sync.h waits without a limit). The holding thread may take it again;
    // each Lock needs its Unlock. Closing the object lets go of what the
    // closing thread still holds.
    NamedWait Lock(std::uint32_t timeoutMs);
    // False when the calling thread does not hold the mutex.
    bool Unlock();
};

// A named manual-reset event, created clear. Waiters sleep on the event's
// word in shared memory, so a waiter that dies leaves nothing behind that
// could hold up a later Set.
class NamedEvent : public NamedObject
{
public:
    NamedEvent() = default;
    ~NamedEvent() = default;

    bool Create(std::string_view name);
    bool Open(std::string_view name);

    bool Set();
    bool Reset();
    // Waits until the event is set, at most timeoutMs.
    NamedWait Wait(std::uint32_t timeoutMs);
};

// Waiting on a 32-bit word of shared memory for another process to change
// it: returns once the word no longer holds `expected`, when a waker calls
// WakeSharedWord, after timeoutMs, or spuriously; callers look again.
void WaitOnSharedWord(const std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs);
// Wakes every process waiting on the word.
void WakeSharedWord(const std::uint32_t* word);

} // namespace qvplat
