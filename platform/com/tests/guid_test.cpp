#include "platform/com/guid.h"
#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace qvplat;

TEST(GuidTest, TextRoundTripsInUpperCase)
{
    constexpr GUID id = MakeGuid("{7dd95801-9882-11cf-9fa9-00aa006c42c4}");
    EXPECT_EQ(id.Data1, 0x7DD95801u);
    EXPECT_EQ(id.Data2, 0x9882u);
    EXPECT_EQ(id.Data3, 0x11CFu);
    EXPECT_EQ(id.Data4[0], 0x9Fu);
    EXPECT_EQ(id.Data4[7], 0xC4u);
    EXPECT_EQ(GuidToString(id), "{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
    EXPECT_EQ(ParseGuid(GuidToString(id)), id);
}

TEST(GuidTest, MalformedTextsAreRefused)
{
    for (const char* text : {
             "",
             "7DD95801-9882-11CF-9FA9-00AA006C42C4",    // no braces
             "{7DD95801-9882-11CF-9FA9-00AA006C42C4",   // one brace
             "{7DD95801-9882-11CF-9FA9-00AA006C42C4}x", // trailing text
             "{7DD95801-9882-11CF-9FA900AA006C42C4-}",  // dash misplaced
             "{7DD95801-9882-11CF-9FA9-00AA006C42CG}",  // not hexadecimal
             "{7DD95801-9882-11CF-9FA9-00AA006C42C}",   // short
             "{+DD95801-9882-11CF-9FA9-00AA006C42C4}",  // sign
             "{ 7DD9580-9882-11CF-9FA9-00AA006C42C4}",  // blank
         }) {
        EXPECT_FALSE(ParseGuid(text).has_value()) << text;
    }
}

struct Coercion
{
    Variant in;
    VARTYPE to;
    HRESULT hr;
    Variant out;
};

TEST(VariantTest, ChangeTypeCoercesAndRefuses)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Coercion cases[] = {
        {Variant("42"), VT_I4, S_OK, Variant(42)},
        {Variant(" -7 "), VT_I2, S_OK, Variant(std::int16_t(-7))},
        {Variant("2.5"), VT_I4, S_OK, Variant(2)}, // half to even
        {Variant(3.5), VT_I4, S_OK, Variant(4)},
        {Variant("1e3"), VT_R8, S_OK, Variant(1000.0)},
        {Variant(true), VT_I4, S_OK, Variant(-1)},
        {Variant(true), VT_BSTR, S_OK, Variant("True")},
        {Variant("FALSE"), VT_BOOL, S_OK, Variant(false)},
        {Variant("0"), VT_BOOL, S_OK, Variant(false)},
        {Variant(std::int16_t(5)), VT_BOOL, S_OK, Variant(true)},
        {Variant(0.1), VT_BSTR, S_OK, Variant("0.1")},
        {Variant(-12), VT_BSTR, S_OK, Variant("-12")},
        {Variant(), VT_I4, S_OK, Variant(0)},
        {Variant(), VT_BSTR, S_OK, Variant("")},
        {Variant(40000), VT_I2, DISP_E_OVERFLOW, Variant()},
        {Variant("99999999999"), VT_I4, DISP_E_OVERFLOW, Variant()},
        {Variant(nan), VT_I4, DISP_E_OVERFLOW, Variant()},
        {Variant("12abc"), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
        {Variant(""), VT_R8, DISP_E_TYPEMISMATCH, Variant()},
        {Variant("nan"), VT_R8, DISP_E_TYPEMISMATCH, Variant()},
        {Variant("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, Variant()},
        {Variant(static_cast<IDispatch*>(nullptr)), VT_BSTR, DISP_E_TYPEMISMATCH, Variant()},
        {Variant(1), VT_DISPATCH, DISP_E_TYPEMISMATCH, Variant()},
        {Variant(1), static_cast<VARTYPE>(77), DISP_E_BADVARTYPE, Variant()},
    };
    for (const Coercion& c : cases) {
        Variant out;
        EXPECT_EQ(ChangeType(c.in, c.to, out), c.hr) << VariantToText(c.in) << " to " << c.to;
        if (Succeeded(c.hr)) {
            EXPECT_EQ(out, c.out) << VariantToText(c.in) << " to " << c.to;
        }
    }
}

} // namespace
