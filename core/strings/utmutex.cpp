#include "core/strings/utmutex.h"

#include "platform/sync.h"

UtMutexHandle::UtMutexHandle() : m_mutex(std::make_unique<qvplat::Mutex>()) {}

UtMutexHandle::~UtMutexHandle() = default;

void UtMutexHandle::acquire()
{
    m_mutex->lock();
}

bool UtMutexHandle::release()
{
    return m_mutex->Release();
}
