#pragma once
// The size and free space of the file system that holds a path.

#include <cstdint>
#include <string>

namespace qvplat {

struct DiskSpace
{
    std::uint64_t total = 0;     // bytes of the file system
    std::uint64_t available = 0; // free bytes this process may use
    std::uint64_t free = 0;      // free bytes in all, the reserve included
};

// Fills `space` for the file system of `path`; false (errno set) on failure.
bool QueryDiskSpace(const std::string& path, DiskSpace& space);

} // namespace qvplat
