#pragma once
// Controls: objects a container creates, sites, loads from a property bag,
// listens to and shows. The interfaces here are free of any window system;
// the window part lives in platform/com/wx.
//
// A control derives from ComControl, gives it its dispatch table, its event
// description and its property pages, and fires events from any thread:
//
//   CFakeCtl::CFakeCtl(IUnknown* outer)
//       : WxComControl(outer, Table(), &Events(), {kClsidFakePage}) {}
//   ...
//   FireEvent(1, {Variant(std::int32_t(33))});
//
// Events reach the container's sink on the container's user-interface
// thread, through the dispatcher its site hands over, in the order each
// thread fired them; none arrives once the control is closed or destroyed.

#include "platform/com/dispatch.h"
#include "platform/com/propbag.h"
#include "platform/ui/uidispatch.h"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qvplat {

// The container's side of a control.
class IQvControlSite : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{5A8D38E7-2554-445F-B3A4-E5FB6A72636B}");

    // The container's user-interface dispatcher, or null.
    virtual std::shared_ptr<UiDispatcher> GetUiDispatcher() = 0;
};

class IQvControl : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{941CCF67-5D0D-41B6-8B9C-CDA9CBB721A6}");

    // Sites the control (null removes the site).
    virtual HRESULT SetClientSite(IQvControlSite* site) = 0;
    // The container is done with the control: its window goes, its events
    // stop for good and it lets go of its site. Before the last Release.
    virtual HRESULT Close() = 0;
    // The control's dispatch interface and its events (either may be null).
    virtual HRESULT GetTypeInfo(const DispatchInterfaceInfo** dispatch,
                                const DispatchInterfaceInfo** events) = 0;
};

// One event sink per control; the sink's Invoke receives each event as a
// method call with the event's number and arguments.
class IQvEventSource : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{08242C8B-FCD5-4FE6-9E2D-56DA54D646FF}");

    // CONNECT_E_ADVISELIMIT while a sink is connected.
    virtual HRESULT Advise(IDispatch* sink, std::uint32_t* cookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie that is not the connected one.
    virtual HRESULT Unadvise(std::uint32_t cookie) = 0;
};

class IPersistPropertyBag : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{05187E73-45A3-49C1-B330-E496412AE17D}");

    virtual HRESULT InitNew() = 0;
    // Sets every persisted property the bag names; a value that does not
    // convert is skipped and its error returned after the others are set.
    virtual HRESULT Load(const PropertyBag& bag) = 0;
    virtual HRESULT Save(PropertyBag& bag, bool clearDirty) = 0;
    // S_OK when changed since the last load or clearing save, else S_FALSE.
    virtual HRESULT IsDirty() = 0;
};

class ISpecifyPropertyPages : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{022DF464-FE77-427C-A705-4FE454A2118A}");

    virtual HRESULT GetPages(std::vector<CLSID>* pages) = 0;
};

// The event connection of one control: a single sink, and delivery on the
// user-interface thread through a dispatcher.
class EventConnection
{
public:
    EventConnection();
    ~EventConnection();
    EventConnection(const EventConnection&) = delete;
    EventConnection& operator=(const EventConnection&) = delete;

    // Without a dispatcher, events fired on the thread that made the
    // connection are delivered at once and others are dropped (and logged).
    void SetDispatcher(std::shared_ptr<UiDispatcher> dispatcher);
    std::shared_ptr<UiDispatcher> Dispatcher() const;

    HRESULT Advise(IDispatch* sink, std::uint32_t* cookie);
    HRESULT Unadvise(std::uint32_t cookie);
    // From any thread. On the user-interface thread the sink is called at
    // once; from other threads the event is queued there.
    void Fire(DISPID id, std::vector<Variant> args);
    // Nothing is delivered any more, queued events included.
    void Close();

private:
    struct State;
    std::shared_ptr<State> m_state;
};

class ComControl : public ComObject<IDispatch, IQvControl, IQvEventSource, IPersistPropertyBag,
                                    ISpecifyPropertyPages>
{
public:
    ComControl(IUnknown* outer, const DispatchTable& dispatch, const DispatchInterfaceInfo* events,
               std::vector<CLSID> pages = {});
    ~ComControl() override;

    // IDispatch; Invoke only on the thread that created the control
    // (RPC_E_WRONG_THREAD elsewhere).
    HRESULT GetIDsOfNames(std::span<const std::string> names, std::span<DISPID> ids) override;
    HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<const Variant> args, Variant* result,
                   std::uint32_t* argError) override;
    // IQvControl
    HRESULT SetClientSite(IQvControlSite* site) override;
    HRESULT Close() override;
    HRESULT GetTypeInfo(const DispatchInterfaceInfo** dispatch,
                        const DispatchInterfaceInfo** events) override;
    // IQvEventSource
    HRESULT Advise(IDispatch* sink, std::uint32_t* cookie) override;
    HRESULT Unadvise(std::uint32_t cookie) override;
    // IPersistPropertyBag
    HRESULT InitNew() override;
    HRESULT Load(const PropertyBag& bag) override;
    HRESULT Save(PropertyBag& bag, bool clearDirty) override;
    HRESULT IsDirty() override;
    // ISpecifyPropertyPages
    HRESULT GetPages(std::vector<CLSID>* pages) override;

protected:
    void FireEvent(DISPID id, std::vector<Variant> args = {});
    void SetModified(bool modified = true) { m_modified = modified; }
    IQvControlSite* ClientSite() const { return m_site.Get(); }
    std::shared_ptr<UiDispatcher> Dispatcher() const { return m_events.Dispatcher(); }
    bool IsOwnerThread() const { return std::this_thread::get_id() == m_ownerThread; }

    // The dispatcher used when the site offers none.
    virtual std::shared_ptr<UiDispatcher> DefaultDispatcher() { return nullptr; }
    // Called by Close(): stop workers, let go of windows. A control's
    // destructor also stops the threads that fire its events.
    virtual void OnClose() {}

private:
    const DispatchTable& m_dispatch;
    const DispatchInterfaceInfo* m_eventInfo;
    const std::vector<CLSID> m_pages;
    const std::thread::id m_ownerThread;
    ComPtr<IQvControlSite> m_site;
    EventConnection m_events;
    bool m_modified = false;
    bool m_closed = false;
};

} // namespace qvplat
