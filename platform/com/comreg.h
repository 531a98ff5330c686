#pragma once
// Registry-store helpers shared by registration and creation.

#include "platform/registry.h"

#include <string>
#include <string_view>

namespace qvplat::comreg {

// Creates the key where needed and sets a text value ("" is the default value).
RegResult SetText(const std::string& path, std::string_view name, std::string_view text);
// The text of a value, without its terminating NULs; false when absent or not text.
bool ReadText(const std::string& path, std::string_view name, std::string& text);
// Deletes a key and everything below it; a key that is already gone is no
// error. A subkey named keep (when not empty) stays, with its parents.
RegResult DeleteTree(const std::string& path, std::string_view keep = {});

} // namespace qvplat::comreg
