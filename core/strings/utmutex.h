#pragma once
// A mutex for guarding the library's shared state. It is recursive and owned
// by the thread that acquired it: the owner may acquire it again, and each
// acquire needs its own release.

#include "core/qvexport.h"

#include <memory>

namespace qvplat {
class Mutex;
}

class QV_API UtMutexHandle
{
public:
    UtMutexHandle();
    UtMutexHandle(const UtMutexHandle&) = delete;
    UtMutexHandle& operator=(const UtMutexHandle&) = delete;
    ~UtMutexHandle();

    // Waits, without a time limit, until the calling thread owns the mutex.
    void acquire();
    // Gives up one level of ownership. Returns false, changing nothing, when
    // the calling thread does not own the mutex.
    bool release();

private:
    std::unique_ptr<qvplat::Mutex> m_mutex;
};
