#include "base/strings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

int _tsm_chdir(const char* path) { return chdir(path); }

unsigned int _tsm_gethostid() {
    // Without /etc/hostid the C library derives the id from the host name's
    // address, a resolver look-up on every call; the id does not change while
    // the daemon runs.
    static const unsigned int hostId = static_cast<unsigned int>(gethostid());
    return hostId;
}

char* fixlpSubKey(const char* subKey) {
    if (subKey == nullptr) return nullptr;
    char* copy = regdStrdupOrDie(subKey);
    size_t len = strlen(copy);
    while (len > 1 && (copy[len - 1] == ' ' || copy[len - 1] == '=')) copy[--len] = '\0';
    return copy;
}

void dummyString(char** slot) { *slot = regdStrdupOrDie(REGD_PLACEHOLDER); }

char* regdStrdupOrDie(const char* s) {
    char* copy = _tsm_strdup(s);
    if (copy == nullptr && s != nullptr) regdOutOfMemory();
    return copy;
}

void regdOutOfMemory() {
    static const char msg[] = "[kalvo_registryd] out of memory; exiting.\n";
    ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(2);
}
