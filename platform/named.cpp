#include "platform/named.h"

#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qvplat {
namespace {

// A file name component may hold 255 bytes; ".lock" goes behind ours.
constexpr std::size_t kMaxBaseName = 250;
// What stays of a long name in front of its hash.
constexpr std::size_t kShortenedPrefix = 200;

std::uint64_t HashName(std::string_view name)
{
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string UserPrefix()
{
    return "qv" + std::to_string(::geteuid());
}

// The exclusive lock under which objects are made, opened and removed.
bool LockGuard(File& guard)
{
    const std::string dir = RuntimeDirectory();
    if (dir.empty()) {
        errno = ENOENT;
        return false;
    }
    if (!guard.OpenReadWrite(dir + "/" + UserPrefix() + "-named.lock", true, 0600) ||
        guard.Lock(LockMode::Exclusive) != LockResult::Acquired) {
        errno = guard.Error();
        return false;
    }
    return true;
}

int OpenDataFile(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::chrono::steady_clock::time_point DeadlineAfter(std::uint32_t timeoutMs)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

std::uint32_t MsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0
               ? 0
               : static_cast<std::uint32_t>(std::min<long long>(left.count(), INT_MAX));
}

// ---- The layouts of the mutex and event objects -----------------------------------

constexpr std::uint32_t kMutexMagic = 0x51764D78; // "QvMx"
constexpr std::uint32_t kEventMagic = 0x51764576; // "QvEv"

struct MutexState
{
    std::uint32_t magic;
    pthread_mutex_t mutex;
};

struct EventState
{
    std::uint32_t magic;
    std::uint32_t signalled; // 0 clear, 1 set; waiters sleep on it
};

int InitialiseMutex(void* view)
{
    auto* state = static_cast<MutexState*>(view);
    pthread_mutexattr_t attributes;
    int error = pthread_mutexattr_init(&attributes);
    if (error != 0) {
        return error;
    }
    error = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (error == 0) {
        error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    }
    if (error == 0) {
        error = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    }
    if (error == 0) {
        error = pthread_mutex_init(&state->mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
    if (error == 0) {
        std::atomic_ref<std::uint32_t>(state->magic).store(kMutexMagic);
    }
    return error;
}

int CheckMutex(const void* view, std::size_t size)
{
    auto* state = static_cast<MutexState*>(const_cast<void*>(view));
    return size >= sizeof(MutexState) &&
                   std::atomic_ref<std::uint32_t>(state->magic).load() == kMutexMagic
               ? 0
               : EINVAL;
}

// A mutex must not stay locked in memory that goes away: the thread's list
// of robust mutexes would point into it.
void ReleaseMutex(void* view)
{
    auto* state = static_cast<MutexState*>(view);
    while (pthread_mutex_unlock(&state->mutex) == 0) {
    }
}

int InitialiseEvent(void* view)
{
    std::atomic_ref<std::uint32_t>(static_cast<EventState*>(view)->magic).store(kEventMagic);
    return 0;
}

int CheckEvent(const void* view, std::size_t size)
{
    auto* state = static_cast<EventState*>(const_cast<void*>(view));
    return size >= sizeof(EventState) &&
                   std::atomic_ref<std::uint32_t>(state->magic).load() == kEventMagic
               ? 0
               : EINVAL;
}

} // namespace

std::string NamedObjectPath(char kind, std::string_view name)
{
    if (name.empty() || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return {};
    }
    const std::string dir = RuntimeDirectory();
    if (dir.empty()) {
        return {};
    }
    std::string base = UserPrefix() + "-" + kind + "-";
    if (base.size() + name.size() <= kMaxBaseName) {
        base.append(name);
    } else {
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx",
                      static_cast<unsigned long long>(HashName(name)));
        base.append(name.substr(0, kShortenedPrefix - base.size()));
        base.append(hash);
    }
    return dir + "/" + base;
}

// ---- NamedObject ------------------------------------------------------------------

NamedObject::~NamedObject()
{
    Close();
}

bool NamedObject::Fail(int error)
{
    m_error = error != 0 ? error : EIO;
    return false;
}

bool NamedObject::Attach(char kind, std::string_view name, bool create, std::size_t size,
                         Initialise initialise, Check check, Release release)
{
    Close();
    m_error = 0;
    m_existed = false;
    const std::string path = NamedObjectPath(kind, name);
    if (path.empty()) {
        // A refused name, or no runtime directory to keep objects in.
        return Fail(RuntimeDirectory().empty() ? ENOENT : EINVAL);
    }
    File guard;
    if (!LockGuard(guard)) {
        return Fail(errno);
    }
    File lock;
    if (!lock.OpenReadWrite(path + ".lock", true, 0600)) {
        return Fail(lock.Error());
    }
    const LockResult probe = lock.Lock(LockMode::Exclusive, 0);
    if (probe == LockResult::Failed) {
        return Fail(lock.Error());
    }
    // Nobody holds a shared lock: the object is absent or stale.
    const bool alive = probe == LockResult::Busy;
    if (!alive && !create) {
        ::unlink(path.c_str());
        ::unlink((path + ".lock").c_str());
        return Fail(ENOENT);
    }
    const int fd = OpenDataFile(path);
    if (fd < 0) {
        return Fail(errno);
    }
    auto failWith = [&](int error) {
        ::close(fd);
        return Fail(error);
    };
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0) {
        return failWith(errno);
    }
    if (info.st_uid != ::geteuid()) {
        return failWith(EACCES);
    }
    if (!S_ISREG(info.st_mode)) {
        return failWith(EINVAL);
    }
    std::size_t mapSize = size;
    if (alive) {
        mapSize = static_cast<std::size_t>(info.st_size);
        if (mapSize == 0 || mapSize < size) {
            return failWith(EINVAL);
        }
    } else if (size == 0 || ::ftruncate(fd, 0) != 0 ||
               ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        return failWith(size == 0 ? EINVAL : errno);
    }
    void* view = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        return failWith(errno);
    }
    int refused = alive ? (check != nullptr ? check(view, mapSize) : 0)
                        : (initialise != nullptr ? initialise(view) : 0);
    if (refused == 0 && lock.Lock(LockMode::Shared, 0) != LockResult::Acquired) {
        refused = lock.Error() != 0 ? lock.Error() : EAGAIN;
    }
    if (refused != 0) {
        ::munmap(view, mapSize);
        return failWith(refused);
    }
    ::close(fd); // the mapping stays without it
    m_view = view;
    m_size = mapSize;
    m_lock = std::move(lock);
    m_path = path;
    m_release = release;
    m_existed = alive;
    return true;
}

void NamedObject::Close()
{
    if (m_view == nullptr) {
        return;
    }
    if (m_release != nullptr) {
        m_release(m_view);
    }
    ::munmap(m_view, m_size);
    m_view = nullptr;
    m_size = 0;
    // The last holder takes the files away; under the guard nobody can be
    // opening the object meanwhile.
    File guard;
    if (LockGuard(guard) && m_lock.Lock(LockMode::Exclusive, 0) == LockResult::Acquired) {
        ::unlink(m_path.c_str());
        ::unlink((m_path + ".lock").c_str());
    }
    m_lock.Close();
    m_path.clear();
}

// ---- SharedMemory -----------------------------------------------------------------

bool SharedMemory::Create(std::string_view name, std::size_t size)
{
    return Attach('m', name, true, size, nullptr, nullptr);
}

bool SharedMemory::Open(std::string_view name)
{
    return Attach('m', name, false, 0, nullptr, nullptr);
}

// ---- NamedMutex -------------------------------------------------------------------

bool NamedMutex::Create(std::string_view name)
{
    return Attach('x', name, true, sizeof(MutexState), InitialiseMutex, CheckMutex, ReleaseMutex);
}

bool NamedMutex::Open(std::string_view name)
{
    return Attach('x', name, false, sizeof(MutexState), InitialiseMutex, CheckMutex,
                  ReleaseMutex);
}

NamedWait NamedMutex::Lock(std::uint32_t timeoutMs)
{
    auto* state = static_cast<MutexState*>(View());
    if (state == nullptr) {
        Fail(EBADF);
        return NamedWait::Failed;
    }
    int result;
    if (timeoutMs == kInfinite) {
        result = pthread_mutex_lock(&state->mutex);
    } else if (timeoutMs == 0) {
        result = pthread_mutex_trylock(&state->mutex);
    } else {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        result = pthread_mutex_clocklock(&state->mutex, CLOCK_MONOTONIC, &deadline);
    }
    if (result == EOWNERDEAD) {
        // The holder died: whatever it guarded may be half written, but the
        // mutex is ours now.
        result = pthread_mutex_consistent(&state->mutex);
    }
    if (result == 0) {
        return NamedWait::Done;
    }
    if (result == ETIMEDOUT || result == EBUSY) {
        return NamedWait::Timeout;
    }
    Fail(result);
    return NamedWait::Failed;
}

bool NamedMutex::Unlock()
{
    auto* state = static_cast<MutexState*>(View());
    return state != nullptr && pthread_mutex_unlock(&state->mutex) == 0;
}

// ---- NamedEvent -------------------------------------------------------------------

bool NamedEvent::Create(std::string_view name)
{
    return Attach('e', name, true, sizeof(EventState), InitialiseEvent, CheckEvent);
}

bool NamedEvent::Open(std::string_view name)
{
    return Attach('e', name, false, sizeof(EventState), InitialiseEvent, CheckEvent);
}

bool NamedEvent::Set()
{
    auto* state = static_cast<EventState*>(View());
    if (state == nullptr) {
        return Fail(EBADF);
    }
    std::atomic_ref<std::uint32_t>(state->signalled).store(1);
    WakeSharedWord(&state->signalled);
    return true;
}

bool NamedEvent::Reset()
{
    auto* state = static_cast<EventState*>(View());
    if (state == nullptr) {
        return Fail(EBADF);
    }
    std::atomic_ref<std::uint32_t>(state->signalled).store(0);
    return true;
}

NamedWait NamedEvent::Wait(std::uint32_t timeoutMs)
{
    auto* state = static_cast<EventState*>(View());
    if (state == nullptr) {
        Fail(EBADF);
        return NamedWait::Failed;
    }
    const std::atomic_ref<std::uint32_t> signalled(state->signalled);
    const auto deadline = DeadlineAfter(timeoutMs == kInfinite ? 0 : timeoutMs);
    for (;;) {
        const std::uint32_t seen = signalled.load();
        if (seen != 0) {
            return NamedWait::Done;
        }
        const std::uint32_t left = timeoutMs == kInfinite ? kInfinite : MsLeft(deadline);
        if (left == 0) {
            return NamedWait::Timeout;
        }
        WaitOnSharedWord(&state->signalled, seen, left);
    }
}

// ---- Waiting on a word ------------------------------------------------------------

void WaitOnSharedWord(const std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs)
{
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    relative.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    // Not the private futex: the word lies in memory shared between
    // processes. EINTR, EAGAIN (the word changed) and ETIMEDOUT all send the
    // caller back to look.
    (void)::syscall(SYS_futex, word, FUTEX_WAIT, expected,
                    timeoutMs == kInfinite ? nullptr : &relative, nullptr, 0);
}

void WakeSharedWord(const std::uint32_t* word)
{
    (void)::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace qvplat
