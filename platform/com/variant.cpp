#include "platform/com/variant.h"
#include "platform/com/text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace qvplat {

VARTYPE Variant::Type() const
{
    static constexpr VARTYPE kTypes[] = {VT_EMPTY, VT_BOOL, VT_I2,      VT_I4,
                                         VT_R8,    VT_BSTR, VT_DISPATCH};
    return kTypes[m_value.index()];
}

IDispatch* Variant::Dispatch() const
{
    const ComPtr<IDispatch>* value = std::get_if<ComPtr<IDispatch>>(&m_value);
    return value != nullptr ? value->Get() : nullptr;
}

namespace {

// A decimal number, blanks around it allowed.
bool ParseNumber(std::string_view text, double& number)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), number, std::chars_format::general);
    return error == std::errc{} && end == text.data() + text.size() && std::isfinite(number);
}

// Any value as a double, for the numeric targets.
HRESULT ToDouble(const Variant& in, double& number)
{
    switch (in.Type()) {
    case VT_EMPTY:
        number = 0;
        return S_OK;
    case VT_BOOL:
        number = in.Bool() ? -1 : 0;
        return S_OK;
    case VT_I2:
        number = in.Short();
        return S_OK;
    case VT_I4:
        number = in.Long();
        return S_OK;
    case VT_R8:
        number = in.Double();
        return S_OK;
    case VT_BSTR:
        return ParseNumber(in.String(), number) ? S_OK : DISP_E_TYPEMISMATCH;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

template <class Int> HRESULT ToInteger(const Variant& in, Variant& out)
{
    double number = 0;
    if (const HRESULT hr = ToDouble(in, number); Failed(hr)) {
        return hr;
    }
    if (!std::isfinite(number)) {
        return DISP_E_OVERFLOW;
    }
    const double rounded = std::nearbyint(number); // the default mode: half to even
    if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<Int>::max())) {
        return DISP_E_OVERFLOW;
    }
    out = Variant(static_cast<Int>(rounded));
    return S_OK;
}

std::string FormatDouble(double number)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, number);
    return std::string(text, result.ptr);
}

} // namespace

HRESULT ChangeType(const Variant& in, VARTYPE to, Variant& out)
{
    const VARTYPE from = in.Type();
    if (from == to) {
        out = in;
        return S_OK;
    }
    switch (to) {
    case VT_EMPTY:
        out = Variant();
        return S_OK;
    case VT_I2:
        return ToInteger<std::int16_t>(in, out);
    case VT_I4:
        return ToInteger<std::int32_t>(in, out);
    case VT_R8: {
        double number = 0;
        const HRESULT hr = ToDouble(in, number);
        if (Succeeded(hr)) {
            out = Variant(number);
        }
        return hr;
    }
    case VT_BOOL: {
        if (from == VT_BSTR) {
            const std::string text = in.String();
            if (EqualNoCase(text, "true") || EqualNoCase(text, "false")) {
                out = Variant(EqualNoCase(text, "true"));
                return S_OK;
            }
        }
        double number = 0;
        const HRESULT hr = ToDouble(in, number);
        if (Succeeded(hr)) {
            out = Variant(number != 0);
        }
        return hr;
    }
    case VT_BSTR:
        switch (from) {
        case VT_EMPTY:
            out = Variant(std::string());
            return S_OK;
        case VT_BOOL:
            out = Variant(in.Bool() ? "True" : "False");
            return S_OK;
        case VT_I2:
            out = Variant(std::to_string(in.Short()));
            return S_OK;
        case VT_I4:
            out = Variant(std::to_string(in.Long()));
            return S_OK;
        case VT_R8:
            out = Variant(FormatDouble(in.Double()));
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
        }
    case VT_DISPATCH:
        if (from == VT_EMPTY) {
            out = Variant(static_cast<IDispatch*>(nullptr));
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    return DISP_E_BADVARTYPE;
}

std::string VariantToText(const Variant& value)
{
    if (value.Type() == VT_DISPATCH) {
        return value.Dispatch() != nullptr ? "(object)" : "(nothing)";
    }
    Variant text;
    ChangeType(value, VT_BSTR, text);
    return text.String();
}

} // namespace qvplat
