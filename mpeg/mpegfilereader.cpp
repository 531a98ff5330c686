#include "mpeg/mpeganalysis.h"

#include "platform/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qvmpeg {

MpegFileReader::~MpegFileReader()
{
    Close();
}

bool MpegFileReader::Open(std::string_view path)
{
    Close();
    const std::string mapped = qvplat::MapPath(path);
    if (mapped.empty())
        return false;
    int fd = -1;
    do {
        fd = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    size_ = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    // Only a hint: pipes and some file systems refuse it.
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void MpegFileReader::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    size_ = 0;
}

bool MpegFileReader::Rewind()
{
    return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0;
}

MpegFileReader::ReadResult MpegFileReader::Read(std::span<std::uint8_t> dst)
{
    ReadResult result;
    if (fd_ < 0) {
        result.failed = true;
        return result;
    }
    while (result.bytes < dst.size()) {
        const ssize_t got = ::read(fd_, dst.data() + result.bytes, dst.size() - result.bytes);
        if (got > 0) {
            result.bytes += static_cast<std::size_t>(got);
        } else if (got == 0) {
            result.endOfFile = true;
            break;
        } else if (errno != EINTR) {
            result.failed = true;
            break;
        }
    }
    return result;
}

} // namespace qvmpeg
