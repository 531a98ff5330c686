#pragma once
// The dispatch table of an automation object: its members (methods and
// properties with numbers, names and types) bound to C++ member functions,
// built once per class and shared by all its objects:
//
//   const DispatchTable& CFakeCtl::Table()
//   {
//       static const DispatchTable table =
//           DispatchTableBuilder<CFakeCtl>(kIidDispatch, "_DFakeCtl")
//               .Property(1, "Caption", &CFakeCtl::GetCaption, &CFakeCtl::SetCaption, Persist::Yes)
//               .Method(2, "Add", &CFakeCtl::Add)
//               .Method(DISPID_ABOUTBOX, "AboutBox", &CFakeCtl::AboutBox)
//               .Build();
//       return table;
//   }
//
// Member functions take and return bool, std::int16_t, std::int32_t,
// double, std::string or IDispatch*; arguments are coerced to those types
// with ChangeType before the call. The same description (without bindings)
// lists a control's events.

#include "platform/com/variant.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace qvplat {

enum class Persist { No, Yes };

struct DispatchMemberInfo
{
    DISPID id = DISPID_UNKNOWN;
    std::string name;
    bool property = false;   // else a method (or an event)
    VARTYPE type = VT_EMPTY; // the property's type, the method's result
    std::vector<VARTYPE> params;
    bool readOnly = false;
    bool persisted = false;
};

// One dispatch interface: a control's own, or the events it fires.
struct DispatchInterfaceInfo
{
    IID iid;
    std::string name;
    std::vector<DispatchMemberInfo> members;

    const DispatchMemberInfo* Find(DISPID id) const;
    // Without regard to ASCII case.
    const DispatchMemberInfo* Find(std::string_view memberName) const;
};

class DispatchTable
{
public:
    // object: the ComUnknown part of the object the table was built for.
    using Thunk =
        std::function<void(ComUnknown& object, std::span<const Variant> args, Variant* result)>;
    struct Binding
    {
        Thunk call; // method, or property get
        Thunk put;
    };

    DispatchTable(DispatchInterfaceInfo info, std::vector<Binding> bindings);

    const DispatchInterfaceInfo& Info() const { return m_info; }

    HRESULT GetIDsOfNames(std::span<const std::string> names, std::span<DISPID> ids) const;
    // Checks the member, flags and argument count, coerces the arguments and
    // calls; a C++ exception from the member becomes DISP_E_EXCEPTION.
    HRESULT Invoke(ComUnknown& object, DISPID id, std::uint16_t flags,
                   std::span<const Variant> args, Variant* result, std::uint32_t* argError) const;

private:
    DispatchInterfaceInfo m_info;
    std::vector<Binding> m_bindings; // parallel to m_info.members
};

namespace detail {

template <class T> struct VarTypeOf;
template <> struct VarTypeOf<void>
{
    static constexpr VARTYPE value = VT_EMPTY;
};
template <> struct VarTypeOf<bool>
{
    static constexpr VARTYPE value = VT_BOOL;
};
template <> struct VarTypeOf<std::int16_t>
{
    static constexpr VARTYPE value = VT_I2;
};
template <> struct VarTypeOf<std::int32_t>
{
    static constexpr VARTYPE value = VT_I4;
};
template <> struct VarTypeOf<double>
{
    static constexpr VARTYPE value = VT_R8;
};
template <> struct VarTypeOf<std::string>
{
    static constexpr VARTYPE value = VT_BSTR;
};
template <> struct VarTypeOf<IDispatch*>
{
    static constexpr VARTYPE value = VT_DISPATCH;
};

// Arguments arrive already coerced to the member's types.
template <class T> T FromVariant(const Variant& value)
{
    if constexpr (std::is_same_v<T, bool>) {
        return value.Bool();
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
        return value.Short();
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return value.Long();
    } else if constexpr (std::is_same_v<T, double>) {
        return value.Double();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return value.String();
    } else {
        return value.Dispatch();
    }
}

template <class F> struct MemberFn;
template <class R, class C, class... A> struct MemberFn<R (C::*)(A...)>
{
    using Result = std::decay_t<R>;
    using Args = std::tuple<std::decay_t<A>...>;
};
template <class R, class C, class... A>
struct MemberFn<R (C::*)(A...) const> : MemberFn<R (C::*)(A...)>
{
};

template <class T, class F, std::size_t... I>
void CallWith(T& object, F fn, std::span<const Variant> args, Variant* result,
              std::index_sequence<I...>)
{
    using Traits = MemberFn<F>;
    if constexpr (std::is_void_v<typename Traits::Result>) {
        (object.*fn)(FromVariant<std::tuple_element_t<I, typename Traits::Args>>(args[I])...);
    } else {
        auto value =
            (object.*fn)(FromVariant<std::tuple_element_t<I, typename Traits::Args>>(args[I])...);
        if (result != nullptr) {
            *result = Variant(value);
        }
    }
}

template <class T, class F> DispatchTable::Thunk MakeThunk(F fn)
{
    constexpr std::size_t count = std::tuple_size_v<typename MemberFn<F>::Args>;
    return [fn](ComUnknown& object, std::span<const Variant> args, Variant* result) {
        CallWith(static_cast<T&>(object), fn, args, result, std::make_index_sequence<count>{});
    };
}

template <class Tuple> std::vector<VARTYPE> ParamTypes()
{
    return std::apply(
        [](auto... a) { return std::vector<VARTYPE>{VarTypeOf<decltype(a)>::value...}; }, Tuple{});
}

} // namespace detail

template <class T> class DispatchTableBuilder
{
public:
    DispatchTableBuilder(const IID& iid, std::string name) : m_info{iid, std::move(name), {}} {}

    template <class F> DispatchTableBuilder& Method(DISPID id, std::string name, F fn)
    {
        using Traits = detail::MemberFn<F>;
        m_info.members.push_back({id, std::move(name), false,
                                  detail::VarTypeOf<typename Traits::Result>::value,
                                  detail::ParamTypes<typename Traits::Args>(), false, false});
        m_bindings.push_back({detail::MakeThunk<T>(fn), nullptr});
        return *this;
    }

    // A property read by get and, unless set is null, written by set.
    // Persisted properties are loaded from and saved to property bags.
    template <class G, class S = std::nullptr_t>
    DispatchTableBuilder& Property(DISPID id, std::string name, G get, S set = nullptr,
                                   Persist persist = Persist::No)
    {
        using Traits = detail::MemberFn<G>;
        DispatchMemberInfo member{id,
                                  std::move(name),
                                  true,
                                  detail::VarTypeOf<typename Traits::Result>::value,
                                  {},
                                  true,
                                  persist == Persist::Yes};
        DispatchTable::Binding binding{detail::MakeThunk<T>(get), nullptr};
        if constexpr (!std::is_same_v<S, std::nullptr_t>) {
            member.readOnly = false;
            binding.put = detail::MakeThunk<T>(set);
        }
        m_info.members.push_back(std::move(member));
        m_bindings.push_back(std::move(binding));
        return *this;
    }

    DispatchTable Build() { return DispatchTable(std::move(m_info), std::move(m_bindings)); }

private:
    DispatchInterfaceInfo m_info;
    std::vector<DispatchTable::Binding> m_bindings;
};

} // namespace qvplat
