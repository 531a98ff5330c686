#include "platform/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace qvplat {
namespace {

// Runs a system call again for as long as a signal interrupts it. Every
// interruptible call of this file goes through here.
template <typename Call> auto ResumingInterrupted(Call call)
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

// How often a lock with a time limit is tried again.
constexpr std::chrono::milliseconds kLockRetryPeriod{5};

int FlockOperation(LockMode mode)
{
    return mode == LockMode::Exclusive ? LOCK_EX : LOCK_SH;
}

bool IsBusy(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN;
}

} // namespace

File::~File()
{
    Close();
}

File::File(File&& other) noexcept : m_fd(other.m_fd), m_error(other.m_error)
{
    other.m_fd = -1;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_error = other.m_error;
        other.m_fd = -1;
    }
    return *this;
}

bool File::Fail()
{
    m_error = errno;
    return false;
}

bool File::OpenWith(const std::string& path, int flags, unsigned permissions)
{
    Close();
    const int fd = ResumingInterrupted(
        [&] { return ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(permissions)); });
    if (fd < 0) {
        return Fail();
    }
    m_fd = fd;
    return true;
}

bool File::OpenRead(const std::string& path)
{
    return OpenWith(path, O_RDONLY, 0);
}

bool File::OpenRegular(const std::string& path, int flags, unsigned permissions)
{
    // Non-blocking, so that opening a FIFO never waits for its other end.
    if (!OpenWith(path, flags | O_NONBLOCK, permissions)) {
        return false;
    }
    struct stat info
    {
    };
    int error = ::fstat(m_fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
    if (error == 0) {
        // Reads and writes of a regular file never wait anyway; the flag
        // goes for clarity.
        const int current = ::fcntl(m_fd, F_GETFL);
        if (current < 0 || ::fcntl(m_fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        Close();
        m_error = errno = error;
        return false;
    }
    return true;
}

bool File::OpenReadRegular(const std::string& path, FinalLink link)
{
    return OpenRegular(path, O_RDONLY | (link == FinalLink::Refuse ? O_NOFOLLOW : 0), 0);
}

bool File::OpenReadWrite(const std::string& path, bool create, unsigned permissions)
{
    return OpenWith(path, O_RDWR | (create ? O_CREAT : 0), permissions);
}

bool File::CreateNew(const std::string& path, unsigned permissions)
{
    return OpenWith(path, O_WRONLY | O_CREAT | O_EXCL, permissions);
}

bool File::OpenLockFile(const std::string& path)
{
    return OpenRegular(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
}

bool File::CreateAlways(const std::string& path, unsigned permissions)
{
    if (!OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, permissions)) {
        return false;
    }
    if (!Truncate(0)) {
        const int error = m_error;
        Close();
        m_error = error;
        return false;
    }
    return true;
}

bool File::Close()
{
    if (m_fd < 0) {
        return true;
    }
    // Not resumed after EINTR: the descriptor is gone whatever close says.
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0 || errno == EINTR || Fail();
}

File::ReadResult File::Read(std::span<std::uint8_t> buffer)
{
    ReadResult result;
    while (result.bytes < buffer.size()) {
        const ssize_t got = ResumingInterrupted([&] {
            return ::read(m_fd, buffer.data() + result.bytes, buffer.size() - result.bytes);
        });
        if (got < 0) {
            Fail();
            result.failed = true;
            break;
        }
        if (got == 0) {
            result.endOfFile = true;
            break;
        }
        result.bytes += static_cast<std::size_t>(got);
    }
    return result;
}

bool File::WriteAll(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written =
            ResumingInterrupted([&] { return ::write(m_fd, bytes + done, size - done); });
        if (written < 0) {
            return Fail();
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool File::Seek(std::uint64_t offset)
{
    if (::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return Fail();
    }
    return true;
}

bool File::Truncate(std::uint64_t size)
{
    if (ResumingInterrupted([&] { return ::ftruncate(m_fd, static_cast<off_t>(size)); }) != 0) {
        return Fail();
    }
    return true;
}

bool File::Sync()
{
    if (ResumingInterrupted([&] { return ::fsync(m_fd); }) != 0) {
        return Fail();
    }
    return true;
}

bool File::SetPermissions(unsigned permissions)
{
    if (ResumingInterrupted([&] { return ::fchmod(m_fd, static_cast<mode_t>(permissions)); }) !=
        0) {
        return Fail();
    }
    return true;
}

bool File::GetPermissions(unsigned& permissions)
{
    struct stat info
    {
    };
    if (::fstat(m_fd, &info) != 0) {
        return Fail();
    }
    permissions = info.st_mode & 07777u;
    return true;
}

std::uint64_t File::Size()
{
    struct stat info
    {
    };
    if (::fstat(m_fd, &info) != 0) {
        Fail();
        return 0;
    }
    return S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool File::IsDirectory()
{
    struct stat info
    {
    };
    if (::fstat(m_fd, &info) != 0) {
        return Fail();
    }
    return S_ISDIR(info.st_mode);
}

void File::AdviseSequential()
{
    // Pipes and some file systems refuse it; nothing depends on it.
    (void)::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

LockResult File::Lock(LockMode mode, std::uint32_t timeoutMs)
{
    if (m_fd < 0) {
        m_error = EBADF;
        return LockResult::Failed;
    }
    const int operation = FlockOperation(mode);
    if (timeoutMs == kInfinite) {
        if (ResumingInterrupted([&] { return ::flock(m_fd, operation); }) != 0) {
            Fail();
            return LockResult::Failed;
        }
        return LockResult::Acquired;
    }
    // flock has no time limit of its own: try, and try again until the time
    // has run out.
    using SteadyClock = std::chrono::steady_clock;
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ResumingInterrupted([&] { return ::flock(m_fd, operation | LOCK_NB); }) == 0) {
            return LockResult::Acquired;
        }
        if (!IsBusy(errno)) {
            Fail();
            return LockResult::Failed;
        }
        const SteadyClock::duration left = deadline - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) {
            m_error = EWOULDBLOCK;
            return LockResult::Busy;
        }
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(left, kLockRetryPeriod));
    }
}

void File::Unlock()
{
    if (m_fd >= 0) {
        (void)::flock(m_fd, LOCK_UN);
    }
}

int File::ExclusiveLockHolder()
{
    struct stat info
    {
    };
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) {
        return 0;
    }
    std::string locks;
    if (ReadWholeFile("/proc/locks", locks) != FileReadStatus::Ok) {
        return 0;
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:56789 0 EOF": the device in
    // hexadecimal, the inode in decimal. Waiters ("1: -> FLOCK ...") hold
    // nothing.
    std::size_t at = 0;
    while (at < locks.size()) {
        std::size_t end = locks.find('\n', at);
        if (end == std::string::npos) {
            end = locks.size();
        }
        const std::string line = locks.substr(at, end - at);
        at = end + 1;
        char kind[16] = {};
        char mode[16] = {};
        char access[16] = {};
        int pid = 0;
        unsigned deviceMajor = 0;
        unsigned deviceMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid,
                        &deviceMajor, &deviceMinor, &inode) == 7 &&
            std::string_view(kind) == "FLOCK" && std::string_view(access) == "WRITE" &&
            deviceMajor == major(info.st_dev) && deviceMinor == minor(info.st_dev) &&
            inode == static_cast<unsigned long long>(info.st_ino) && pid > 0) {
            return pid;
        }
    }
    return 0;
}

bool File::WritePid()
{
    const std::string text = std::to_string(::getpid()) + "\n";
    return Truncate(0) && Seek(0) && WriteAll(text.data(), text.size());
}

int File::ReadPid()
{
    char text[32] = {};
    const ssize_t got = ResumingInterrupted([&] { return ::pread(m_fd, text, sizeof text, 0); });
    if (got < 0) {
        Fail();
        return 0;
    }
    int pid = 0;
    const auto [end, error] = std::from_chars(text, text + got, pid);
    if (error != std::errc() || end == text || pid <= 0) {
        return 0;
    }
    return pid;
}

// ---- Settings files shared between processes --------------------------------

namespace {

// Creates a new, unique temporary file next to path with the permission
// bits (less the umask).
bool CreateTemporaryBeside(const std::string& path, unsigned permissions, File& file,
                           std::string& tempPath)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + "." + std::to_string(::getpid()) + "." +
                   std::to_string(counter.fetch_add(1)) + ".tmp";
        if (file.CreateNew(tempPath, permissions)) {
            return true;
        }
        if (file.Error() != EEXIST) {
            return false;
        }
    }
    return false;
}

} // namespace

bool LockForUpdate(File& lock, const std::string& path)
{
    // Readable by all as the umask allows, writable by no one else: the
    // lock only needs opening, and an open for reading can lock.
    if (!lock.OpenReadWrite(path + ".lock", true, 0664) ||
        lock.Lock(LockMode::Exclusive) != LockResult::Acquired) {
        const int error = lock.Error();
        lock.Close();
        errno = error;
        return false;
    }
    return true;
}

FileReadStatus ReadWholeFile(const std::string& path, std::string& contents)
{
    contents.clear();
    File file;
    if (!file.OpenRead(path)) {
        errno = file.Error();
        return errno == ENOENT || errno == ENOTDIR ? FileReadStatus::Missing
                                                   : FileReadStatus::Failed;
    }
    std::uint8_t buffer[16384];
    for (;;) {
        const File::ReadResult got = file.Read(buffer);
        contents.append(reinterpret_cast<const char*>(buffer), got.bytes);
        if (got.failed) {
            contents.clear();
            errno = file.Error();
            return FileReadStatus::Failed;
        }
        if (got.endOfFile) {
            return FileReadStatus::Ok;
        }
    }
}

bool ReplaceFileContents(const std::string& path, const std::string& contents)
{
    // The new file is made with every permission bit the umask allows, read
    // back to learn them, and then narrowed: to the old file's bits when a
    // regular file stands at the path, else to read and write. Whatever else
    // stands there (a symbolic link above all) lends nothing, and setuid,
    // setgid and sticky bits are never carried over.
    std::string tempPath;
    File file;
    if (!CreateTemporaryBeside(path, 0777, file, tempPath)) {
        errno = file.Error();
        return false;
    }
    unsigned allowed = 0;
    struct stat existing
    {
    };
    const bool keep = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    const unsigned wanted = keep ? existing.st_mode & 0777u : 0666u;
    bool ok = file.GetPermissions(allowed) && file.SetPermissions(wanted & allowed & 0777u) &&
              file.WriteAll(contents.data(), contents.size());
    ok = ok && file.Sync();
    ok = file.Close() && ok;
    int error = file.Error();
    if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tempPath.c_str());
        errno = error;
    }
    return ok;
}

} // namespace qvplat
