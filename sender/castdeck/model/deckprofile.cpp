#include "sender/castdeck/model/deckprofile.h"

#include "core/settings/qvlog.h"
#include "platform/paths.h"
#include "platform/registry.h"

#include <utility>

namespace castdeck {

namespace {

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
    qvplat::File file;
    if (!file.OpenReadWrite(path, true, 0600)) {
        QvDebugMsg("castdeck: cannot open the instance lock %s (errno %d)", path.c_str(),
                   file.Error());
        return Result::Unavailable;
    }
    switch (file.Lock(qvplat::LockMode::Exclusive, 0)) {
    case qvplat::LockResult::Acquired:
        break;
    case qvplat::LockResult::Busy:
        return Result::HeldElsewhere;
    case qvplat::LockResult::Failed:
        QvDebugMsg("castdeck: cannot lock %s (errno %d)", path.c_str(), file.Error());
        return Result::Unavailable;
    }
    if (!file.WritePid()) {
        QvDebugMsg("castdeck: cannot record this process in %s (errno %d)", path.c_str(),
                   file.Error());
    }
    m_file = std::move(file);
    return Result::Acquired;
}

void InstanceLock::Release()
{
    m_file.Close();
}

std::string InstanceLock::DefaultPath()
{
    const std::string dir = qvplat::RuntimeDirectory();
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
