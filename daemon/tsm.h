// Small portable helpers shared by the daemon and its store.
#pragma once

// Heap copy of s, freed with free(); null for a null argument or when memory runs out.
char* _tsm_strdup(const char* s);

// Case-insensitive comparison through the locale's lower-case table; the
// terminator counts as 0, so a proper prefix compares lower.
int _tsm_strcasecmp(const char* a, const char* b);

// chdir(path).
int _tsm_chdir(const char* path);

// gethostid() of this machine, as clients send it in their request headers.
unsigned int _tsm_gethostid();
