#include "capture/channel/qvdiskspace.h"

#include "platform/diskspace.h"
#include "platform/paths.h"

#include <cerrno>

QvDiskSpace::QvDiskSpace(const char* path)
{
    if (path == nullptr || *path == '\0') {
        m_error = -1;
        return;
    }
    m_path = qvplat::MapPath(path).c_str();
    Query();
}

bool QvDiskSpace::Query()
{
    if (m_path.isNull()) {
        m_error = -1;
        return false;
    }
    qvplat::DiskSpace space;
    if (!qvplat::QueryDiskSpace(m_path.chars(), space)) {
        m_error = errno != 0 ? errno : -1;
        return false;
    }
    m_total = static_cast<double>(space.total);
    m_available = static_cast<double>(space.available);
    m_error = 0;
    return true;
}
