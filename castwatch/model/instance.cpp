#include "castwatch/model/instance.h"

#include "core/settings/qvlog.h"
#include "platform/paths.h"

#include <cstring>

namespace castwatch {

std::string MonitorInstance::LockPath()
{
    const std::string dir = qvplat::RuntimeDirectory();
    return dir.empty() ? std::string() : dir + "/Vigilo.lock";
}

int MonitorInstance::RunningPid()
{
    qvplat::File lock;
    const std::string path = LockPath();
    if (path.empty() || !lock.OpenReadWrite(path, false)) {
        return 0;
    }
    return lock.Lock(qvplat::LockMode::Exclusive, 0) == qvplat::LockResult::Busy ? lock.ReadPid()
                                                                                 : 0;
}

MonitorInstance::Result MonitorInstance::Acquire()
{
    const std::string path = LockPath();
    if (path.empty() || !m_file.OpenReadWrite(path, true)) {
        QvDebugMsg("castwatch: no instance lock %s: %s", path.c_str(),
                   std::strerror(m_file.Error()));
        return Result::Unavailable;
    }
    switch (m_file.Lock(qvplat::LockMode::Exclusive, 0)) {
    case qvplat::LockResult::Acquired:
        m_file.WritePid();
        return Result::Acquired;
    case qvplat::LockResult::Busy:
        m_file.Close();
        return Result::Running;
    case qvplat::LockResult::Failed:
        break;
    }
    m_file.Close();
    return Result::Unavailable;
}

} // namespace castwatch
