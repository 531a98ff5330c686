#include "platform/com/control.h"

namespace qvplat {

// ---- Event connection ------------------------------------------------------------------

struct EventConnection::State
{
    std::mutex lock;
    ComPtr<IDispatch> sink;
    std::uint32_t cookie = 0;
    std::uint32_t lastCookie = 0;
    bool open = true;
    std::shared_ptr<UiDispatcher> dispatcher;
    std::thread::id owner = std::this_thread::get_id();

    // On the delivering thread; the sink is called without the lock, so it
    // may unadvise or close the control from inside.
    void Deliver(DISPID id, const std::vector<Variant>& args)
    {
        ComPtr<IDispatch> target;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!open) {
                return;
            }
            target = sink;
        }
        if (target) {
            target->Invoke(id, DISPATCH_METHOD, args, nullptr, nullptr);
        }
    }
};

EventConnection::EventConnection() : m_state(std::make_shared<State>()) {}

EventConnection::~EventConnection()
{
    Close();
}

void EventConnection::SetDispatcher(std::shared_ptr<UiDispatcher> dispatcher)
{
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->dispatcher = std::move(dispatcher);
}

std::shared_ptr<UiDispatcher> EventConnection::Dispatcher() const
{
    std::lock_guard<std::mutex> hold(m_state->lock);
    return m_state->dispatcher;
}

HRESULT EventConnection::Advise(IDispatch* sink, std::uint32_t* cookie)
{
    if (sink == nullptr || cookie == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> hold(m_state->lock);
    if (m_state->sink || !m_state->open) {
        return CONNECT_E_ADVISELIMIT;
    }
    m_state->sink = sink;
    m_state->cookie = ++m_state->lastCookie;
    *cookie = m_state->cookie;
    return S_OK;
}

HRESULT EventConnection::Unadvise(std::uint32_t cookie)
{
    ComPtr<IDispatch> old;
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        if (!m_state->sink || cookie != m_state->cookie) {
            return CONNECT_E_NOCONNECTION;
        }
        old = std::move(m_state->sink);
        m_state->sink = nullptr;
        m_state->cookie = 0;
    }
    return S_OK; // the sink is released outside the lock
}

void EventConnection::Fire(DISPID id, std::vector<Variant> args)
{
    std::shared_ptr<UiDispatcher> dispatcher;
    bool ownerThread = false;
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        if (!m_state->open) {
            return;
        }
        dispatcher = m_state->dispatcher;
        ownerThread = std::this_thread::get_id() == m_state->owner;
    }
    if (dispatcher ? dispatcher->IsUiThread() : ownerThread) {
        m_state->Deliver(id, args);
        return;
    }
    if (!dispatcher) {
        ComLog("event " + std::to_string(id) +
               " fired off the user-interface thread of a control without a dispatcher: dropped");
        return;
    }
    // The queued call keeps the state (not the control) and this library's
    // code alive until it has run or been dropped.
    dispatcher->Post([state = m_state, id, args = std::move(args), module = ComModuleRef()] {
        state->Deliver(id, args);
    });
}

void EventConnection::Close()
{
    ComPtr<IDispatch> old;
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->open = false;
        old = std::move(m_state->sink);
        m_state->sink = nullptr;
    }
}

// ---- Control ---------------------------------------------------------------------------

ComControl::ComControl(IUnknown* outer, const DispatchTable& dispatch,
                       const DispatchInterfaceInfo* events, std::vector<CLSID> pages)
    : ComObject(outer), m_dispatch(dispatch), m_eventInfo(events), m_pages(std::move(pages)),
      m_ownerThread(std::this_thread::get_id())
{
}

ComControl::~ComControl()
{
    m_events.Close();
}

HRESULT ComControl::GetIDsOfNames(std::span<const std::string> names, std::span<DISPID> ids)
{
    return m_dispatch.GetIDsOfNames(names, ids);
}

HRESULT ComControl::Invoke(DISPID id, std::uint16_t flags, std::span<const Variant> args,
                           Variant* result, std::uint32_t* argError)
{
    if (!IsOwnerThread()) {
        return RPC_E_WRONG_THREAD;
    }
    return m_dispatch.Invoke(*this, id, flags, args, result, argError);
}

HRESULT ComControl::SetClientSite(IQvControlSite* site)
{
    if (m_closed) {
        return E_UNEXPECTED;
    }
    m_site = site;
    std::shared_ptr<UiDispatcher> dispatcher = site != nullptr ? site->GetUiDispatcher() : nullptr;
    if (!dispatcher) {
        dispatcher = DefaultDispatcher();
    }
    m_events.SetDispatcher(std::move(dispatcher));
    return S_OK;
}

HRESULT ComControl::Close()
{
    if (!m_closed) {
        m_closed = true;
        m_events.Close();
        OnClose();
        m_site.Reset();
    }
    return S_OK;
}

HRESULT ComControl::GetTypeInfo(const DispatchInterfaceInfo** dispatch,
                                const DispatchInterfaceInfo** events)
{
    if (dispatch != nullptr) {
        *dispatch = &m_dispatch.Info();
    }
    if (events != nullptr) {
        *events = m_eventInfo;
    }
    return S_OK;
}

HRESULT ComControl::Advise(IDispatch* sink, std::uint32_t* cookie)
{
    return m_events.Advise(sink, cookie);
}

HRESULT ComControl::Unadvise(std::uint32_t cookie)
{
    return m_events.Unadvise(cookie);
}

HRESULT ComControl::InitNew()
{
    return S_OK;
}

HRESULT ComControl::Load(const PropertyBag& bag)
{
    HRESULT first = S_OK;
    for (const DispatchMemberInfo& member : m_dispatch.Info().members) {
        if (!member.persisted) {
            continue;
        }
        const std::optional<std::string> value = bag.Read(member.name);
        if (!value) {
            continue;
        }
        const Variant arg(*value);
        const HRESULT hr = m_dispatch.Invoke(*this, member.id, DISPATCH_PROPERTYPUT,
                                             std::span<const Variant>(&arg, 1), nullptr, nullptr);
        if (Failed(hr)) {
            ComLog("property bag: " + member.name + " = \"" + *value +
                   "\" not loaded: " + HResultName(hr));
            if (Succeeded(first)) {
                first = hr;
            }
        }
    }
    m_modified = false;
    return first;
}

HRESULT ComControl::Save(PropertyBag& bag, bool clearDirty)
{
    for (const DispatchMemberInfo& member : m_dispatch.Info().members) {
        if (!member.persisted) {
            continue;
        }
        Variant value;
        const HRESULT hr =
            m_dispatch.Invoke(*this, member.id, DISPATCH_PROPERTYGET, {}, &value, nullptr);
        if (Failed(hr)) {
            return hr;
        }
        bag.Write(member.name, VariantToText(value));
    }
    if (clearDirty) {
        m_modified = false;
    }
    return S_OK;
}

HRESULT ComControl::IsDirty()
{
    return m_modified ? S_OK : S_FALSE;
}

HRESULT ComControl::GetPages(std::vector<CLSID>* pages)
{
    if (pages == nullptr) {
        return E_POINTER;
    }
    *pages = m_pages;
    return S_OK;
}

void ComControl::FireEvent(DISPID id, std::vector<Variant> args)
{
    m_events.Fire(id, std::move(args));
}

} // namespace qvplat
