#pragma once
// Identity of the fake control library the tests load.
#include "platform/com/variant.h"

namespace fakectl {

inline constexpr qvplat::CLSID kClsidControl =
    qvplat::MakeGuid("{142B709C-3778-4D0F-A565-0719E6F910EF}");
inline constexpr qvplat::CLSID kClsidPage =
    qvplat::MakeGuid("{4DA912AA-5B3D-487E-BA62-5AECA9A36ACD}");
inline constexpr qvplat::GUID kTypeLib = qvplat::MakeGuid("{600CCB96-1BE6-4EC4-AF92-29BFCE68627B}");
inline constexpr qvplat::IID kIidDispatch =
    qvplat::MakeGuid("{37D2884D-5D2E-4CE3-BC02-B50FA66BD0FB}");
inline constexpr qvplat::IID kIidEvents =
    qvplat::MakeGuid("{2D3D2AC1-7BB9-4722-B80F-146DB64B6EB2}");
inline constexpr const char* kProgId = "QVFAKE.FakeCtl.1";
inline constexpr const char* kPageProgId = "QVFAKE.FakePage.1";

// Events.
inline constexpr qvplat::DISPID kEventPinged = 1; // (long value)
inline constexpr qvplat::DISPID kEventTick = 2;   // (long thread, long sequence)

} // namespace fakectl
