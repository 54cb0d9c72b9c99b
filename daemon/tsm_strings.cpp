#include "daemon/tsm.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

char* _tsm_strdup(const char* s) {
    if (s == nullptr) return nullptr;
    size_t n = strlen(s) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy != nullptr) memcpy(copy, s, n);
    return copy;
}

int _tsm_strcasecmp(const char* a, const char* b) {
    // Bytes are taken as signed, as the C library's table allows (-128..255),
    // so that bytes above 0x7F sort below ASCII the same way on every host.
    for (size_t i = 0;; i++) {
        int ca = tolower(static_cast<signed char>(a[i]));
        int cb = tolower(static_cast<signed char>(b[i]));
        if (ca == 0 || cb == 0 || ca != cb) return ca - cb;
    }
}
