#include "platform/sharedfile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvplat {
namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Creates a new, unique temporary file next to path; returns its descriptor.
int CreateTemporaryBeside(const std::string& path, std::string& tempPath)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + "." + std::to_string(::getpid()) + "." +
                   std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = OpenRetrying(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

} // namespace

SharedFileLock::SharedFileLock(const std::string& path)
{
    const std::string lockPath = path + ".lock";
    fd_ = OpenRetrying(lockPath.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd_ < 0) {
        return;
    }
    int result;
    do {
        result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

SharedFileLock::~SharedFileLock()
{
    if (fd_ >= 0) {
        ::close(fd_); // closing the last descriptor releases the lock
    }
}

FileReadStatus ReadWholeFile(const std::string& path, std::string& contents)
{
    contents.clear();
    const int fd = OpenRetrying(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? FileReadStatus::Missing
                                                   : FileReadStatus::Failed;
    }
    char buffer[16384];
    FileReadStatus status = FileReadStatus::Ok;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = FileReadStatus::Failed;
            break;
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
    const int readError = errno;
    ::close(fd);
    if (status != FileReadStatus::Ok) {
        contents.clear();
        errno = readError;
    }
    return status;
}

bool ReplaceFileContents(const std::string& path, const std::string& contents)
{
    std::string tempPath;
    const int fd = CreateTemporaryBeside(path, tempPath);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, contents);
    struct stat existing
    {
    };
    if (ok && ::stat(path.c_str(), &existing) == 0) {
        ok = ::fchmod(fd, existing.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        errno = error;
    }
    return ok;
}

} // namespace qvplat
