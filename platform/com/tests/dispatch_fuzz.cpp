// GUID texts and Invoke argument lists from arbitrary bytes. A text that
// parses must print back as itself (in upper case); an Invoke must give a
// result of the member's type or one of the dispatch errors, never crash;
// every coercion must give its target type or an error.
#include "platform/com/dispatch.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qvplat;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    std::uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string Text(std::size_t length)
    {
        std::string text;
        while (text.size() < length && !Done()) {
            text += static_cast<char>(Next());
        }
        return text;
    }
    template <class T> T Raw()
    {
        std::uint8_t bytes[sizeof(T)] = {};
        for (std::uint8_t& byte : bytes) {
            byte = Next();
        }
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

class Target final : public ComObject<IDispatch>
{
public:
    explicit Target(IUnknown* outer) : ComObject(outer) {}

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<Target>(MakeGuid("{A91FE4EA-4DBE-41D7-9109-9BE3D1431EEB}"),
                                         "_DTarget")
                .Property(1, "Text", &Target::GetText, &Target::SetText, Persist::Yes)
                .Property(2, "Flag", &Target::GetFlag, &Target::SetFlag)
                .Property(3, "Small", &Target::GetSmall)
                .Method(4, "Mix", &Target::Mix)
                .Method(5, "Take", &Target::Take)
                .Method(6, "Nothing", &Target::Nothing)
                .Build();
        return table;
    }
    HRESULT GetIDsOfNames(std::span<const std::string> names, std::span<DISPID> ids) override
    {
        return Table().GetIDsOfNames(names, ids);
    }
    HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<const Variant> args, Variant* result,
                   std::uint32_t* argError) override
    {
        return Table().Invoke(*this, id, flags, args, result, argError);
    }

private:
    std::string GetText() const { return m_text; }
    void SetText(const std::string& text) { m_text = text; }
    bool GetFlag() const { return m_flag; }
    void SetFlag(bool flag) { m_flag = flag; }
    std::int16_t GetSmall() const { return 7; }
    double Mix(std::int16_t a, std::int32_t b, double c, bool d) { return a + b + c + (d ? 1 : 0); }
    std::int32_t Take(IDispatch* object, const std::string& text)
    {
        return static_cast<std::int32_t>(text.size()) + (object != nullptr ? 1 : 0);
    }
    void Nothing() {}

    std::string m_text;
    bool m_flag = false;
};

Variant MakeArg(Input& in)
{
    switch (in.Next() % 7) {
    case 0:
        return Variant();
    case 1:
        return Variant((in.Next() & 1) != 0);
    case 2:
        return Variant(in.Raw<std::int16_t>());
    case 3:
        return Variant(in.Raw<std::int32_t>());
    case 4:
        return Variant(in.Raw<double>());
    case 5:
        return Variant(in.Text(in.Next() % 24));
    default:
        return Variant(static_cast<IDispatch*>(nullptr));
    }
}

bool IsDispatchError(HRESULT hr)
{
    return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH ||
           hr == DISP_E_OVERFLOW;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    if (in.Next() % 2 == 0) {
        const std::string text = in.Text(size);
        if (const std::optional<GUID> id = ParseGuid(text)) {
            std::string upper = text;
            for (char& c : upper) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            Require(GuidToString(*id) == upper);
        }
        return 0;
    }

    static const VARTYPE kTypes[] = {VT_EMPTY, VT_I2, VT_I4, VT_R8, VT_BSTR, VT_DISPATCH, VT_BOOL};
    ComPtr<IDispatch> target(new Target(nullptr));
    while (!in.Done()) {
        const DISPID id = static_cast<DISPID>(in.Next() % 8);
        const std::uint16_t flags = static_cast<std::uint16_t>(in.Next() % 8);
        std::vector<Variant> args(in.Next() % 6);
        for (Variant& arg : args) {
            arg = MakeArg(in);
            for (const VARTYPE to : kTypes) {
                Variant out;
                const HRESULT hr = ChangeType(arg, to, out);
                Require(Failed(hr) ? IsDispatchError(hr) : out.Type() == to);
            }
        }
        Variant result;
        std::uint32_t argError = 0;
        const HRESULT hr = target->Invoke(id, flags, args, &result, &argError);
        if (Succeeded(hr)) {
            const DispatchMemberInfo* member = Target::Table().Info().Find(id);
            Require(member != nullptr);
            Require((flags & DISPATCH_PROPERTYPUT) != 0 && member->property
                        ? result.Type() == VT_EMPTY
                        : result.Type() == member->type);
        } else {
            Require(IsDispatchError(hr));
            Require((hr != DISP_E_TYPEMISMATCH && hr != DISP_E_OVERFLOW) || argError < args.size());
        }
    }
    return 0;
}
