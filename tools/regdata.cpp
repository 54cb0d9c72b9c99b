#include "tools/regdata.h"

#include <cstdio>

#include "tools/regtext.h"

namespace regtool {

namespace {

struct TypeEntry {
    uint32_t type;
    const char* name;
    bool addable;
};

constexpr TypeEntry kTypes[] = {
    {0, "REG_NONE", true},
    {1, "REG_SZ", true},
    {2, "REG_EXPAND_SZ", true},
    {3, "REG_BINARY", true},
    {4, "REG_DWORD", true},
    {5, "REG_DWORD_BIG_ENDIAN", true},
    {6, "REG_LINK", false},
    {7, "REG_MULTI_SZ", true},
    {8, "REG_RESOURCE_LIST", false},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {11, "REG_QWORD", true},
};

// The number whose little-endian bytes are `data` (at most 8).
uint64_t littleEndian(std::string_view data) {
    uint64_t v = 0;
    for (size_t i = data.size(); i > 0; i--) v = (v << 8) | static_cast<uint8_t>(data[i - 1]);
    return v;
}

// Two upper-case hex digits per byte, no separators.
std::string hexUpper(std::string_view data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : data) {
        out += digits[static_cast<uint8_t>(c) >> 4];
        out += digits[static_cast<uint8_t>(c) & 0xF];
    }
    return out;
}

// "0x" and lower-case hex digits.
std::string hexLower(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// A decimal or 0x-hexadecimal number no larger than `max`.
bool parseNumber(std::string_view text, uint64_t max, uint64_t* out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        int d = hexDigitValue(c);
        if (d < 0 || d >= base) return false;
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

// Appends the low `bytes` bytes of v, least significant first.
void appendLittleEndian(std::string* out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string typeName(uint32_t type) {
    for (const TypeEntry& t : kTypes) {
        if (t.type == type) return t.name;
    }
    return hexLower(type);
}

bool parseAddType(std::string_view name, uint32_t* type) {
    for (const TypeEntry& t : kTypes) {
        if (t.addable && equalIgnoringCase(name, t.name)) {
            *type = t.type;
            return true;
        }
    }
    if (equalIgnoringCase(name, "REG_DWORD_LITTLE_ENDIAN")) {
        *type = TYPE_DWORD;
        return true;
    }
    if (equalIgnoringCase(name, "REG_QWORD_LITTLE_ENDIAN")) {
        *type = TYPE_QWORD;
        return true;
    }
    return false;
}

std::string formatQueryData(uint32_t type, std::string_view data, std::string_view separator) {
    switch (type) {
        case TYPE_SZ:
        case TYPE_EXPAND_SZ:
            return std::string(data.substr(0, data.find('\0')));
        case TYPE_MULTI_SZ: {
            // Trailing NULs end the list; each NUL before them ends a string.
            size_t end = data.find_last_not_of('\0');
            std::string_view body = end == std::string_view::npos ? std::string_view() : data.substr(0, end + 1);
            std::string out;
            size_t start = 0;
            while (start < body.size()) {
                size_t nul = body.find('\0', start);
                if (nul == std::string_view::npos) nul = body.size();
                if (start > 0) out += separator;
                out += body.substr(start, nul - start);
                start = nul + 1;
            }
            return out;
        }
        case TYPE_DWORD:
        case TYPE_DWORD_BIG_ENDIAN:  // stored little-endian, as add stores it
            if (data.size() == 4) return hexLower(littleEndian(data));
            break;
        case TYPE_QWORD:
            if (data.size() == 8) return hexLower(littleEndian(data));
            break;
        default:
            break;
    }
    return hexUpper(data);
}

bool parseAddData(uint32_t type, std::string_view text, std::string_view separator, std::string* bytes,
                  std::string* why) {
    bytes->clear();
    switch (type) {
        case TYPE_NONE:  // text, as reg.exe takes it
        case TYPE_SZ:
        case TYPE_EXPAND_SZ:
            bytes->assign(text);
            bytes->push_back('\0');
            return true;
        case TYPE_MULTI_SZ: {
            if (separator.empty()) {
                *why = "the separator may not be empty";
                return false;
            }
            // One separator may end the list; an empty string elsewhere
            // would end it early when read back.
            size_t start = 0;
            while (start < text.size()) {
                size_t end = text.find(separator, start);
                if (end == std::string_view::npos) end = text.size();
                if (end == start) {
                    *why = "REG_MULTI_SZ data may not hold an empty string before its end";
                    return false;
                }
                bytes->append(text.substr(start, end - start));
                bytes->push_back('\0');
                start = end + separator.size();
            }
            bytes->push_back('\0');
            return true;
        }
        case TYPE_DWORD:
        case TYPE_DWORD_BIG_ENDIAN:
        case TYPE_QWORD: {
            uint64_t v = 0;
            uint64_t max = type == TYPE_QWORD ? UINT64_MAX : UINT32_MAX;
            if (!text.empty() && !parseNumber(text, max, &v)) {
                *why = "'" + std::string(text) + "' is not a " + typeName(type) +
                       " number (decimal or 0x-hexadecimal, at most " + hexLower(max) + ")";
                return false;
            }
            // Big-endian too is stored little-endian, as reg.exe stores it.
            appendLittleEndian(bytes, v, type == TYPE_QWORD ? 8 : 4);
            return true;
        }
        case TYPE_BINARY: {
            // An odd first digit is a byte of its own.
            for (size_t i = 0; i < text.size(); i += (i == 0 && text.size() % 2 != 0) ? 1 : 2) {
                bool single = i == 0 && text.size() % 2 != 0;
                int hi = single ? 0 : hexDigitValue(text[i]);
                int lo = hexDigitValue(text[single ? i : i + 1]);
                if (hi < 0 || lo < 0) {
                    *why = "'" + std::string(text) + "' is not hexadecimal REG_BINARY data";
                    return false;
                }
                bytes->push_back(static_cast<char>(hi * 16 + lo));
            }
            return true;
        }
        default:
            *why = typeName(type) + " values cannot be added";
            return false;
    }
}

}  // namespace regtool
