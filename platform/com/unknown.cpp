#include "platform/com/unknown.h"

#include <cstdlib>

namespace qvplat {

namespace {
std::atomic<long> g_moduleCount{0};
} // namespace

void ComModuleAddRef()
{
    g_moduleCount.fetch_add(1, std::memory_order_relaxed);
}

void ComModuleRelease()
{
    g_moduleCount.fetch_sub(1, std::memory_order_acq_rel);
}

long ComModuleCount()
{
    return g_moduleCount.load(std::memory_order_acquire);
}

ComUnknown::ComUnknown(IUnknown* outer) : m_outer(outer)
{
    ComModuleAddRef();
}

ComUnknown::~ComUnknown()
{
    ComModuleRelease();
}

HRESULT ComUnknown::NonDelegatingQueryInterface(const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown) {
        NonDelegatingAddRef();
        *out = &m_inner;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG ComUnknown::NonDelegatingAddRef()
{
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ComUnknown::NonDelegatingRelease()
{
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // A count of 1 while dying, so a destructor that hands out and drops
        // a reference to itself does not delete the object twice.
        m_refs.store(1, std::memory_order_relaxed);
        delete this;
    }
    return left;
}

void* CoTaskMemAlloc(std::size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void CoTaskMemFree(void* block)
{
    std::free(block);
}

} // namespace qvplat
