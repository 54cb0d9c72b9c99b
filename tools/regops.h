// kalvoreg's work on the daemon through the client library: reading key
// trees and values in name order, and carrying out a .reg document.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kalvo/winreg.h"
#include "tools/regfile.h"
#include "tools/regpath.h"

namespace regtool {

struct ValueRecord {
    std::string name;  // "" for the default value
    uint32_t type = 0;
    std::string data;
};

// An open key, closed when it goes; a root key is used as it is.
class KeyHandle {
  public:
    KeyHandle() = default;
    ~KeyHandle();
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;

    // Opens `path`: 0 or the daemon's error.
    LONG open(const KeyPath& path);
    // Creates (or opens) `path`: 0 or the daemon's error.
    LONG create(const KeyPath& path);
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
    bool owned_ = false;
    void close();
};

// The names of the sub-keys of `key`, sorted by name ignoring case.
LONG readSubKeyNames(HKEY key, std::vector<std::string>* names);

// The values of `key` with their true sizes, sorted by name ignoring case.
LONG readValues(HKEY key, std::vector<ValueRecord>* values);

// Opens `path` into *key and reads its values as readValues does.
LONG readKeyValues(const KeyPath& path, KeyHandle* key, std::vector<ValueRecord>* values);

// `path` with every name spelled as the registry stores it; the error of
// the first key that cannot be read (ERROR_FILE_NOT_FOUND when missing).
LONG canonicalKeyPath(const KeyPath& path, KeyPath* out);

// `top` and, when `recursive`, every key below it: parents before their
// sub-keys, sub-keys by name ignoring case. On an error, *failed is the key
// that could not be read.
LONG listKeyTree(const KeyPath& top, bool recursive, std::vector<KeyPath>* keys, std::string* failed);

// Sets value `name` of `key` to `data` of `type`, empty data included.
LONG setValue(HKEY key, const std::string& name, uint32_t type, const std::string& data);

// What applyDocument does with a daemon error: told the error, the key or
// value at fault and its line, it returns true to go on (the rest of a
// failed key's section is skipped) or false to stop.
using ApplyFault = std::function<bool(LONG error, const std::string& what, int line)>;

// Carries out `doc` section by section: [-KEY] deletes a key and its tree,
// [KEY] creates the key and sets or ("name"=-) deletes its values. A key or
// value to delete that does not exist is not an error. Progress counts keys
// and values. The number of errors met.
size_t applyDocument(const RegDocument& doc, const ApplyFault& fault);

}  // namespace regtool
