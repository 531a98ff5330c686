#include "sender/castdeck/model/deckprofile.h"

#include "core/settings/qvlog.h"
#include "platform/paths.h"
#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace castdeck {

namespace {

bool IsDirectory(const std::string& path)
{
    struct stat info
    {
    };
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string RuntimeDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && IsDirectory(runtime)) {
        return runtime;
    }
    const std::string config = qvplat::ConfigHome();
    if (config.empty()) {
        return {};
    }
    const std::string dir = config + "/castnet";
    // Parents first; an existing directory is fine.
    mkdir(config.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    return IsDirectory(dir) ? dir : std::string();
}

std::string RecentValueName(std::size_t index)
{
    return "File" + std::to_string(index + 1);
}

} // namespace

InstanceLock::~InstanceLock()
{
    Release();
}

InstanceLock::Result InstanceLock::Acquire(const std::string& path)
{
    Release();
    if (path.empty()) {
        return Result::Unavailable;
    }
    // Close-on-exec: a program started from here must not keep the lock.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        QvDebugMsg("castdeck: cannot open the instance lock %s (errno %d)", path.c_str(), errno);
        return Result::Unavailable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return Result::HeldElsewhere;
        }
        QvDebugMsg("castdeck: cannot lock %s (errno %d)", path.c_str(), error);
        return Result::Unavailable;
    }
    m_fd = fd;
    return Result::Acquired;
}

void InstanceLock::Release()
{
    if (m_fd >= 0) {
        flock(m_fd, LOCK_UN);
        close(m_fd);
        m_fd = -1;
    }
}

std::string InstanceLock::DefaultPath()
{
    const std::string dir = RuntimeDirectory();
    if (dir.empty()) {
        return {};
    }
    return dir + "/" + kMarker + ".lock";
}

std::vector<std::string> LoadRecentFiles(std::size_t count)
{
    std::vector<std::string> files;
    qvplat::RegKey key;
    if (key.Open(qvplat::RegRoot::CurrentUser, kRecentFilesKey) != qvplat::RegResult::Success) {
        return files;
    }
    for (std::size_t i = 0; i < count; ++i) {
        qvplat::RegValue value;
        if (key.QueryValue(RecentValueName(i), value) != qvplat::RegResult::Success ||
            value.type != qvplat::REG_SZ) {
            continue;
        }
        std::string text(value.data.begin(), value.data.end());
        while (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        if (!text.empty()) {
            files.push_back(std::move(text));
        }
    }
    return files;
}

bool SaveRecentFiles(const std::vector<std::string>& files)
{
    std::vector<qvplat::RegValue> values;
    for (std::size_t i = 0; i < files.size() && i < kRecentFileCount; ++i) {
        values.push_back(qvplat::MakeStringValue(RecentValueName(i), files[i]));
    }
    const qvplat::RegResult result =
        qvplat::ReplaceRegKeyValues(qvplat::RegRoot::CurrentUser, kRecentFilesKey, values);
    if (result != qvplat::RegResult::Success) {
        QvDebugMsg("castdeck: cannot save the recent files: %s", qvplat::RegResultName(result));
        return false;
    }
    return true;
}

} // namespace castdeck
