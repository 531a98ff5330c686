#include "platform/com/dispatch.h"
#include "platform/com/text.h"

#include <exception>
#include <new>

namespace qvplat {

const DispatchMemberInfo* DispatchInterfaceInfo::Find(DISPID id) const
{
    for (const DispatchMemberInfo& member : members) {
        if (member.id == id) {
            return &member;
        }
    }
    return nullptr;
}

const DispatchMemberInfo* DispatchInterfaceInfo::Find(std::string_view memberName) const
{
    for (const DispatchMemberInfo& member : members) {
        if (EqualNoCase(member.name, memberName)) {
            return &member;
        }
    }
    return nullptr;
}

DispatchTable::DispatchTable(DispatchInterfaceInfo info, std::vector<Binding> bindings)
    : m_info(std::move(info)), m_bindings(std::move(bindings))
{
}

HRESULT DispatchTable::GetIDsOfNames(std::span<const std::string> names,
                                     std::span<DISPID> ids) const
{
    if (ids.size() < names.size()) {
        return E_INVALIDARG;
    }
    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const DispatchMemberInfo* member = m_info.Find(std::string_view(names[i]));
        ids[i] = member != nullptr ? member->id : DISPID_UNKNOWN;
        if (member == nullptr) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

HRESULT DispatchTable::Invoke(ComUnknown& object, DISPID id, std::uint16_t flags,
                              std::span<const Variant> args, Variant* result,
                              std::uint32_t* argError) const
{
    const DispatchMemberInfo* member = m_info.Find(id);
    if (member == nullptr) {
        return DISP_E_MEMBERNOTFOUND;
    }
    const Binding& binding = m_bindings[static_cast<std::size_t>(member - m_info.members.data())];

    const Thunk* thunk = nullptr;
    std::vector<VARTYPE> types;
    if (member->property && (flags & DISPATCH_PROPERTYPUT) != 0) {
        if (!binding.put) {
            return DISP_E_MEMBERNOTFOUND;
        }
        thunk = &binding.put;
        types = {member->type};
    } else if ((member->property && (flags & DISPATCH_PROPERTYGET) != 0) ||
               (!member->property && (flags & DISPATCH_METHOD) != 0)) {
        thunk = &binding.call;
        types = member->params;
    } else {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (args.size() != types.size()) {
        return DISP_E_BADPARAMCOUNT;
    }

    try {
        std::vector<Variant> coerced(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {
            const HRESULT hr = ChangeType(args[i], types[i], coerced[i]);
            if (Failed(hr)) {
                if (argError != nullptr) {
                    *argError = static_cast<std::uint32_t>(i);
                }
                return hr;
            }
        }
        Variant value;
        (*thunk)(object, coerced, thunk == &binding.put ? nullptr : &value);
        if (result != nullptr) {
            *result = std::move(value);
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return DISP_E_EXCEPTION;
    }
}

} // namespace qvplat
