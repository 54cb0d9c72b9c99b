// Text helpers of kalvoreg: the registry's 8-bit names and data against the
// UTF-16LE of Unicode .reg files, and the name order of exports.
#pragma once

#include <string>
#include <string_view>

namespace regtool {

// UTF-16LE code units for the registry bytes `bytes`, read as UTF-8. A byte
// that is not part of a valid UTF-8 sequence becomes the lone low surrogate
// U+DC00 plus the byte, so that every byte string survives the trip.
std::string bytesToUtf16le(std::string_view bytes);

// The registry bytes for UTF-16LE `units`: the inverse of bytesToUtf16le;
// other lone surrogates become their 3-byte generalised UTF-8 form. False
// (and *out unspecified) when the length is odd.
bool utf16leToBytes(std::string_view units, std::string* out);

// Orders names as the daemon compares them (ASCII letters without case),
// with the byte order deciding between names that differ only in case.
bool lessIgnoringCase(std::string_view a, std::string_view b);

// The value of a hexadecimal digit, or -1 for any other character.
int hexDigitValue(char c);

// True when a and b are equal ignoring the case of ASCII letters.
bool equalIgnoringCase(std::string_view a, std::string_view b);

}  // namespace regtool
