// The regedit text format (.reg files): REGEDIT4 (8-bit text) and
// "Windows Registry Editor Version 5.00" (UTF-16LE with a byte-order mark),
// read into and written from a list of key sections. No registry access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace regtool {

enum class RegFormat { Regedit4, Version5 };

struct RegFileValue {
    std::string name;  // "" is the key's default value (@)
    bool remove = false;  // "name"=-
    uint32_t type = 0;
    std::string data;  // the registry's bytes
    int line = 0;      // where it starts in the file (0: not read from a file)
};

struct RegFileSection {
    std::string path;  // as written between the brackets, without the '-'
    bool remove = false;  // [-KEY]
    std::vector<RegFileValue> values;
    int line = 0;
};

struct RegDocument {
    RegFormat format = RegFormat::Version5;
    std::vector<RegFileSection> sections;
};

struct RegParseError {
    int line = 0;  // 1-based line of the file
    std::string message;
};

// Reads a whole .reg file as reg.exe does: the format from its byte-order
// mark and first line (REGEDIT4, Version 5.00, or Windows 3.1 "REGEDIT" with
// HKEY_CLASSES_ROOT lines), then key lines, value lines with ';' comments
// after the data, hex data continued over lines after a backslash, blank
// lines and ';' comment lines. A line that cannot be taken is left out and
// listed in *problems with its line; values below a [-KEY] are ignored.
// False, with the reason first in *problems, only when the file is no .reg
// file at all. A header reg.exe takes without importing anything ("REGEDIT
// 4", "REGEDIT4 extra") gives an empty document and a problem.
bool parseRegFile(std::string_view bytes, RegDocument* doc, std::vector<RegParseError>* problems);

// The bytes of a .reg file holding `doc`'s sections in their order, in
// `format`, with CR LF line ends. False with the reason in *why when a key
// path holds a line break, which no .reg line can carry.
bool writeRegFile(const RegDocument& doc, RegFormat format, std::string* bytes, std::string* why);

}  // namespace regtool
