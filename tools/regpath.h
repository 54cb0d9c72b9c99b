// Registry key paths as kalvoreg's users write them: a root key by its full
// or short name, then backslash-separated sub-key names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kalvo/winreg.h"

namespace regtool {

struct KeyPath {
    HKEY root = nullptr;
    std::string rootName;  // the root's full name, e.g. HKEY_LOCAL_MACHINE
    std::string subKey;    // below the root, no leading, trailing or double backslashes

    // The whole path with the full root name.
    std::string full() const;
    // The path of the parent key; the root's parent is the root itself.
    KeyPath parent() const;
    // The last name of subKey ("" for a root).
    std::string leaf() const;
    // This path with `name` appended.
    KeyPath child(std::string_view name) const;
};

// Parses "ROOT[\sub\...]"; ROOT is matched without case against full and
// short names. False with the reason in *why for an unknown root or an
// empty text; empty names between backslashes are dropped.
bool parseKeyPath(std::string_view text, KeyPath* out, std::string* why);

// A KEY argument as reg.exe takes it: parseKeyPath, and refused as well
// when remote (\\host), ending in two backslashes, or a root with a lone
// backslash ("HKCU\"); one backslash after a sub-key is dropped.
bool parseKeyArgument(std::string_view text, KeyPath* out, std::string* why);

// The names of a backslash-separated path, empty ones dropped.
std::vector<std::string> splitKeyNames(std::string_view path);

}  // namespace regtool
