#pragma once
// Component categories in the registry store: a category's definition under
// HKEY_CLASSES_ROOT "Component Categories\{cat}" (its description as value
// "409", locale 1033) and a class's marks under
// "CLSID\{clsid}\Implemented Categories\{cat}".

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

#include <string_view>

namespace qvplat {

inline constexpr CATID CATID_SafeForScripting = MakeGuid("{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
inline constexpr CATID CATID_SafeForInitializing =
    MakeGuid("{7DD95802-9882-11CF-9FA9-00AA006C42C4}");

struct ComCategoryInfo
{
    CATID id;
    const char* description;
};

// The two categories scriptable controls register.
inline constexpr ComCategoryInfo kSafeControlCategories[] = {
    {CATID_SafeForScripting, "Controls that are safely scriptable"},
    {CATID_SafeForInitializing, "Controls safely initializable from persistent data"},
};

// Defines a category; the description is cut to 127 characters.
HRESULT CreateComponentCategory(const CATID& category, std::string_view description);
HRESULT RegisterCLSIDInCategory(const CLSID& clsid, const CATID& category);
// Removes one mark; S_OK also when it was not there.
HRESULT UnRegisterCLSIDInCategory(const CLSID& clsid, const CATID& category);

} // namespace qvplat
