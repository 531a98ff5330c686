#pragma once
// Automation: the dispatch interface (members called by name or number
// with a list of values) and the small value type it passes.

#include "platform/com/unknown.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qvplat {

using DISPID = std::int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
// Stock members.
inline constexpr DISPID DISPID_READYSTATE = -525;
inline constexpr DISPID DISPID_ABOUTBOX = -552;
inline constexpr DISPID DISPID_READYSTATECHANGE = -609;

// Invoke flags; a caller may combine METHOD and PROPERTYGET.
inline constexpr std::uint16_t DISPATCH_METHOD = 1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUT = 4;

enum VARTYPE : std::uint16_t {
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8, // narrow text
    VT_DISPATCH = 9,
    VT_BOOL = 11,
};

class Variant;

class IDispatch : public IUnknown
{
public:
    static constexpr IID Iid = MakeGuid("{00020400-0000-0000-C000-000000000046}");

    // The number of each member name, compared without regard to case;
    // DISP_E_UNKNOWNNAME when any is unknown (its id is DISPID_UNKNOWN).
    virtual HRESULT GetIDsOfNames(std::span<const std::string> names, std::span<DISPID> ids) = 0;
    // Calls a method, reads a property (no arguments) or writes one (one
    // argument: the new value). Arguments are in call order, first argument
    // first, and are coerced to the member's types. result may be null.
    // *argError (may be null) receives the index of the argument at fault
    // for DISP_E_TYPEMISMATCH and DISP_E_OVERFLOW.
    virtual HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<const Variant> args,
                           Variant* result, std::uint32_t* argError) = 0;
};
inline constexpr IID IID_IDispatch = IDispatch::Iid;

class Variant
{
public:
    Variant() = default;
    Variant(bool value) : m_value(value) {}
    Variant(std::int16_t value) : m_value(value) {}
    Variant(std::int32_t value) : m_value(value) {}
    Variant(double value) : m_value(value) {}
    Variant(std::string value) : m_value(std::move(value)) {}
    Variant(const char* value) : m_value(std::string(value != nullptr ? value : "")) {}
    Variant(IDispatch* value) : m_value(ComPtr<IDispatch>(value)) {}

    VARTYPE Type() const;
    // The value when Type() matches; the type's empty value otherwise.
    bool Bool() const { return Get<bool>(); }
    std::int16_t Short() const { return Get<std::int16_t>(); }
    std::int32_t Long() const { return Get<std::int32_t>(); }
    double Double() const { return Get<double>(); }
    std::string String() const { return Get<std::string>(); }
    IDispatch* Dispatch() const;

    bool operator==(const Variant& other) const { return m_value == other.m_value; }

private:
    template <class T> T Get() const
    {
        const T* value = std::get_if<T>(&m_value);
        return value != nullptr ? *value : T{};
    }

    std::variant<std::monostate, bool, std::int16_t, std::int32_t, double, std::string,
                 ComPtr<IDispatch>>
        m_value;
};

// Converts to type `to`: numbers narrow with a range check
// (DISP_E_OVERFLOW) and round half to even; true is -1 as a number and
// "True" as text; text converts to numbers in decimal (blanks around it
// allowed) and to booleans from "true"/"false" in any case or a number;
// objects convert to nothing else (DISP_E_TYPEMISMATCH). DISP_E_BADVARTYPE
// for an unknown type.
HRESULT ChangeType(const Variant& in, VARTYPE to, Variant& out);

// The value as text for people: ChangeType to VT_BSTR, "(object)" for an
// object, "(nothing)" for a null one.
std::string VariantToText(const Variant& value);

} // namespace qvplat
