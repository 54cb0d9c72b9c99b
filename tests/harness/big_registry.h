// A registry of about a million records for tests that need long loads and
// saves: 50,000 keys of 19 values under HKLM\Software\Big.
#pragma once

#include <string>

namespace kalvotest {

// Writes it to `path` with the store's own writer, in a child process that
// then ends: the whole registry as a main file, or the Big key as a hive.
bool writeBigRegistry(const std::string& path, bool asHive);

}  // namespace kalvotest
