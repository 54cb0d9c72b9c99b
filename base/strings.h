// String and host helpers shared by every layer: heap copies, the registry's
// case-insensitive comparison, key-path trimming and the placeholder text of
// empty reply fields.
#pragma once

// Text carried by every string or opaque reply field that has nothing to carry.
constexpr const char* REGD_PLACEHOLDER = "ZORP+IS+COOL";

// Heap copy of s, freed with free(); null for a null argument or when memory runs out.
char* _tsm_strdup(const char* s);

// Case-insensitive comparison through the locale's lower-case table; the
// terminator counts as 0, so a proper prefix compares lower.
int _tsm_strcasecmp(const char* a, const char* b);

// chdir(path).
int _tsm_chdir(const char* path);

// gethostid() of this machine, as clients send it in their request headers.
unsigned int _tsm_gethostid();

// Heap copy of a key path without trailing blanks and '=' characters (never
// removing the first character); null for null. Ends the daemon with status
// 2 when memory runs out.
char* fixlpSubKey(const char* subKey);

// Stores a fresh heap copy of "ZORP+IS+COOL" into *slot.
void dummyString(char** slot);

// Heap copy that never returns null: ends the daemon with a message and
// status 2 when memory runs out.
char* regdStrdupOrDie(const char* s);

// Ends the daemon with a message and status 2; used when memory runs out.
[[noreturn]] void regdOutOfMemory();
