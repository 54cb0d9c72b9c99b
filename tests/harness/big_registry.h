// A large registry for tests that need long loads and saves: `keys` keys
// (about a million records at 50,000) of 19 values under HKLM\Software\Big,
// key k as G<k / 200>\K<k % 200> (three digits each) and its value V<v> (two
// digits) holding "value <v> of key <k>".
#pragma once

#include <string>

namespace kalvotest {

// Writes it to `path` with the store's own writer, in a child process that
// then ends: the whole registry as a main file, or the Big key as a hive.
bool writeBigRegistry(const std::string& path, bool asHive, int keys = 50000);

}  // namespace kalvotest
