#pragma once
// Reference-counted objects reached through interfaces: IUnknown with atomic
// counts, a smart pointer, class factories, aggregation (an object whose
// identity is its outer object's) and the task allocator.
//
// Interfaces are abstract classes deriving from IUnknown, each naming its
// identifier as `static constexpr IID Iid`. They cross library boundaries
// only as virtual calls, so a library that compiles this code in keeps its
// own hidden copy and still talks to every other.

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace qvplat {

using ULONG = std::uint32_t;

class IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{00000000-0000-0000-C000-000000000046}");

    // E_NOINTERFACE (with *out null) when the object has no such interface.
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects go away through Release only.
    virtual ~IUnknown() = default;
};
inline constexpr IID IID_IUnknown = IUnknown::Iid;

class IClassFactory : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{00000001-0000-0000-C000-000000000046}");

    // outer: the controlling object when the new one is aggregated (iid must
    // then be IID_IUnknown), else null.
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
    virtual HRESULT LockServer(bool lock) = 0;
};
inline constexpr IID IID_IClassFactory = IClassFactory::Iid;

// Holds one reference. Construction from a raw pointer adds one; Attach
// takes over a reference the caller owns.
template <class T> class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(T* p) : m_p(p) // NOLINT: implicit like a raw pointer
    {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    static ComPtr Attach(T* p)
    {
        ComPtr held;
        held.m_p = p;
        return held;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr)) {
            p->Release();
        }
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const ComPtr& other) const { return m_p == other.m_p; }
    // Releases what is held and gives the slot for an out parameter.
    void** PutVoid()
    {
        Reset();
        return reinterpret_cast<void**>(&m_p);
    }

    // QueryInterface for U.
    template <class U> ComPtr<U> As() const
    {
        ComPtr<U> out;
        if (m_p != nullptr) {
            m_p->QueryInterface(U::Iid, out.PutVoid());
        }
        return out;
    }

private:
    T* m_p = nullptr;
};

// Counts of the library that compiles this code: live objects (every
// ComUnknown, class factories included), server locks and queued work that
// still needs the library's code. The library may be unloaded only when all
// are zero.
void ComModuleAddRef();
void ComModuleRelease();
long ComModuleCount();

// Keeps the library's code loaded while it lives (copies count again).
class ComModuleRef
{
public:
    ComModuleRef() { ComModuleAddRef(); }
    ComModuleRef(const ComModuleRef&) : ComModuleRef() {}
    ComModuleRef& operator=(const ComModuleRef&) = default;
    ~ComModuleRef() { ComModuleRelease(); }
};

// The identity part of an object that may be aggregated. Its own
// ("non-delegating") IUnknown owns the reference count; the object's
// interfaces delegate to Owner(), which is the outer object when there is
// one and the own unknown otherwise. Counts start at 0.
class ComUnknown
{
public:
    explicit ComUnknown(IUnknown* outer);
    virtual ~ComUnknown();
    ComUnknown(const ComUnknown&) = delete;
    ComUnknown& operator=(const ComUnknown&) = delete;

    IUnknown* Owner() const { return m_outer != nullptr ? m_outer : const_cast<Inner*>(&m_inner); }
    IUnknown* NonDelegatingUnknown() { return &m_inner; }

    // IID_IUnknown gives the own unknown; subclasses add their interfaces.
    virtual HRESULT NonDelegatingQueryInterface(const IID& iid, void** out);
    ULONG NonDelegatingAddRef();
    ULONG NonDelegatingRelease();

private:
    class Inner final : public IUnknown
    {
    public:
        explicit Inner(ComUnknown& self) : m_self(self) {}
        ~Inner() override = default;
        HRESULT QueryInterface(const IID& iid, void** out) override
        {
            return m_self.NonDelegatingQueryInterface(iid, out);
        }
        ULONG AddRef() override { return m_self.NonDelegatingAddRef(); }
        ULONG Release() override { return m_self.NonDelegatingRelease(); }

    private:
        ComUnknown& m_self;
    };

    Inner m_inner{*this};
    IUnknown* const m_outer;
    std::atomic<ULONG> m_refs{0};
};

// An object implementing Interfaces...: answers QueryInterface for each by
// its Iid and delegates IUnknown to its owner.
template <class... Interfaces> class ComObject : public ComUnknown, public Interfaces...
{
public:
    explicit ComObject(IUnknown* outer = nullptr) : ComUnknown(outer) {}

    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        return Owner()->QueryInterface(iid, out);
    }
    ULONG AddRef() override { return Owner()->AddRef(); }
    ULONG Release() override { return Owner()->Release(); }

    HRESULT NonDelegatingQueryInterface(const IID& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        IUnknown* found = nullptr;
        ((found == nullptr && iid == Interfaces::Iid ? (found = static_cast<Interfaces*>(this))
                                                     : nullptr),
         ...);
        if (found == nullptr) {
            return ComUnknown::NonDelegatingQueryInterface(iid, out);
        }
        found->AddRef();
        *out = found;
        return S_OK;
    }
};

// Creates T(outer, args...) and hands out its interface iid; with an outer
// object only IID_IUnknown may be asked for (the own unknown is returned).
template <class T, class... Args>
HRESULT CreateComObject(IUnknown* outer, const IID& iid, void** out, Args&&... args)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr && iid != IID_IUnknown) {
        return CLASS_E_NOAGGREGATION;
    }
    T* object = nullptr;
    try {
        object = new T(outer, std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL; // nothing is thrown across a library boundary
    }
    object->NonDelegatingAddRef(); // holds it through the query
    const HRESULT hr = object->NonDelegatingQueryInterface(iid, out);
    object->NonDelegatingRelease();
    return hr;
}

// The task allocator: memory one library allocates and another frees.
void* CoTaskMemAlloc(std::size_t size);
void CoTaskMemFree(void* block);

} // namespace qvplat
