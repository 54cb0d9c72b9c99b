// Value types and data as kalvoreg shows and takes them on its command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace regtool {

constexpr uint32_t TYPE_NONE = 0;
constexpr uint32_t TYPE_SZ = 1;
constexpr uint32_t TYPE_EXPAND_SZ = 2;
constexpr uint32_t TYPE_BINARY = 3;
constexpr uint32_t TYPE_DWORD = 4;
constexpr uint32_t TYPE_DWORD_BIG_ENDIAN = 5;
constexpr uint32_t TYPE_MULTI_SZ = 7;
constexpr uint32_t TYPE_QWORD = 11;

// "REG_SZ" and the like; other numbers as "0x" and hexadecimal.
std::string typeName(uint32_t type);

// The type named `name` (without case) among those `add` takes; false if
// there is none.
bool parseAddType(std::string_view name, uint32_t* type);

// The data as `query` shows it: strings up to their NUL, REG_MULTI_SZ's
// strings joined by `separator`, the numbers as 0x and lower-case hex,
// anything else (and numbers of the wrong size) as upper-case hex digits.
std::string formatQueryData(uint32_t type, std::string_view data, std::string_view separator);

// The bytes `add` stores for `text` of `type` (REG_MULTI_SZ strings split at
// `separator`), as reg.exe stores them: REG_NONE as text, numbers
// little-endian (REG_DWORD_BIG_ENDIAN too) and 0 for empty text. False with
// the reason in *why when text does not fit type.
bool parseAddData(uint32_t type, std::string_view text, std::string_view separator, std::string* bytes,
                  std::string* why);

}  // namespace regtool
