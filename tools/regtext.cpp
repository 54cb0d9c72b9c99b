#include "tools/regtext.h"

#include <cstdint>

namespace regtool {

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0.
size_t decodeUtf8(std::string_view s, size_t i, uint32_t* cp) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t len;
    uint32_t value;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        value = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        value = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; k++) {
        uint8_t b = byte(i + k);
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    *cp = value;
    return len;
}

// Appends one UTF-16LE code unit.
void putUnit(std::string& out, uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

// Appends code point `cp` (surrogates too) in UTF-8 form.
void putUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// `c` with ASCII upper case made lower.
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string bytesToUtf16le(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    size_t i = 0;
    while (i < bytes.size()) {
        uint32_t cp = 0;
        size_t len = decodeUtf8(bytes, i, &cp);
        if (len == 0) {
            putUnit(out, 0xDC00u + static_cast<uint8_t>(bytes[i]));
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            putUnit(out, 0xD800u + (cp >> 10));
            putUnit(out, 0xDC00u + (cp & 0x3FF));
        } else {
            putUnit(out, cp);
        }
        i += len;
    }
    return out;
}

bool utf16leToBytes(std::string_view units, std::string* out) {
    if (units.size() % 2 != 0) return false;
    out->clear();
    out->reserve(units.size() / 2);
    auto unitAt = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<uint8_t>(units[2 * k])) |
               (static_cast<uint32_t>(static_cast<uint8_t>(units[2 * k + 1])) << 8);
    };
    size_t n = units.size() / 2;
    for (size_t k = 0; k < n; k++) {
        uint32_t u = unitAt(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            uint32_t low = unitAt(k + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                putUtf8(*out, 0x10000u + ((u - 0xD800u) << 10) + (low - 0xDC00u));
                k++;
                continue;
            }
        }
        if (u >= 0xDC80 && u <= 0xDCFF) {
            out->push_back(static_cast<char>(u - 0xDC00u));  // an escaped byte
        } else {
            putUtf8(*out, u);
        }
    }
    return true;
}

bool lessIgnoringCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(lowerAscii(a[i]));
        unsigned char y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace regtool
