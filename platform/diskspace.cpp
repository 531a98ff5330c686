#include "platform/diskspace.h"

#include <cerrno>
#include <sys/statvfs.h>

namespace qvplat {

bool QueryDiskSpace(const std::string& path, DiskSpace& space)
{
    struct statvfs info
    {
    };
    int result;
    do {
        result = ::statvfs(path.c_str(), &info);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return false;
    }
    const std::uint64_t unit = info.f_frsize;
    space.total = static_cast<std::uint64_t>(info.f_blocks) * unit;
    space.available = static_cast<std::uint64_t>(info.f_bavail) * unit;
    space.free = static_cast<std::uint64_t>(info.f_bfree) * unit;
    return true;
}

} // namespace qvplat
