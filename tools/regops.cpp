#include "tools/regops.h"

#include <algorithm>

#include "tools/regconsole.h"
#include "tools/regtext.h"

namespace regtool {

namespace {

// Largest name or data buffer asked for: the daemon's own reply limit.
constexpr DWORD kMaxBuffer = 64u * 1024u * 1024u;
constexpr DWORD kFirstNameBuffer = 256;

// A buffer twice as large as `size`, or 0 when it would pass the limit.
DWORD grown(DWORD size) { return size >= kMaxBuffer / 2 ? 0 : size * 2; }

}  // namespace

KeyHandle::~KeyHandle() { close(); }

// Closes an owned handle and forgets it.
void KeyHandle::close() {
    if (owned_) RegCloseKey(key_);
    key_ = nullptr;
    owned_ = false;
}

LONG KeyHandle::open(const KeyPath& path) {
    close();
    if (path.subKey.empty()) {
        key_ = path.root;
        return ERROR_SUCCESS;
    }
    LONG rv = RegOpenKeyExA(path.root, path.subKey.c_str(), 0, KEY_ALL_ACCESS, &key_);
    owned_ = rv == ERROR_SUCCESS;
    return rv;
}

LONG KeyHandle::create(const KeyPath& path) {
    close();
    if (path.subKey.empty()) {
        key_ = path.root;
        return ERROR_SUCCESS;
    }
    LONG rv = RegCreateKeyExA(path.root, path.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr);
    owned_ = rv == ERROR_SUCCESS;
    return rv;
}

LONG readSubKeyNames(HKEY key, std::vector<std::string>* names) {
    names->clear();
    std::string buffer(kFirstNameBuffer, '\0');
    for (DWORD index = 0;; index++) {
        DWORD length = static_cast<DWORD>(buffer.size());
        LONG rv = RegEnumKeyExA(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rv == ERROR_MORE_DATA) {
            DWORD bigger = grown(static_cast<DWORD>(buffer.size()));
            if (bigger == 0) return ERROR_NOT_ENOUGH_MEMORY;
            buffer.assign(bigger, '\0');
            index--;  // the same key again
            continue;
        }
        if (rv == ERROR_NO_MORE_ITEMS) break;
        if (rv != ERROR_SUCCESS) return rv;
        names->emplace_back(buffer.data(), std::min<size_t>(length, buffer.size()));
    }
    std::sort(names->begin(), names->end(), [](const std::string& a, const std::string& b) {
        return lessIgnoringCase(a, b);
    });
    return ERROR_SUCCESS;
}

LONG readValues(HKEY key, std::vector<ValueRecord>* values) {
    values->clear();
    std::string name(kFirstNameBuffer, '\0');
    std::string data(kFirstNameBuffer, '\0');
    for (DWORD index = 0;; index++) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG rv = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type,
                                reinterpret_cast<BYTE*>(data.data()), &dataLength);
        if (rv == ERROR_MORE_DATA) {
            // Either the data (its size is then known) or the name did not fit.
            if (dataLength > data.size()) {
                if (dataLength > kMaxBuffer) return ERROR_NOT_ENOUGH_MEMORY;
                data.assign(dataLength, '\0');
            } else {
                DWORD bigger = grown(static_cast<DWORD>(name.size()));
                if (bigger == 0) return ERROR_NOT_ENOUGH_MEMORY;
                name.assign(bigger, '\0');
            }
            index--;
            continue;
        }
        if (rv == ERROR_NO_MORE_ITEMS) break;
        if (rv != ERROR_SUCCESS) return rv;
        ValueRecord v;
        v.name.assign(name.data(), std::min<size_t>(nameLength, name.size()));
        v.type = type;
        v.data.assign(data.data(), std::min<size_t>(dataLength, data.size()));
        values->push_back(std::move(v));
    }
    std::sort(values->begin(), values->end(), [](const ValueRecord& a, const ValueRecord& b) {
        return lessIgnoringCase(a.name, b.name);
    });
    return ERROR_SUCCESS;
}

LONG readKeyValues(const KeyPath& path, KeyHandle* key, std::vector<ValueRecord>* values) {
    LONG rv = key->open(path);
    return rv == ERROR_SUCCESS ? readValues(key->get(), values) : rv;
}

LONG canonicalKeyPath(const KeyPath& path, KeyPath* out) {
    KeyPath current = path;
    current.subKey.clear();
    for (const std::string& wanted : splitKeyNames(path.subKey)) {
        KeyHandle key;
        if (LONG rv = key.open(current)) return rv;
        std::vector<std::string> names;
        if (LONG rv = readSubKeyNames(key.get(), &names)) return rv;
        auto found = std::find_if(names.begin(), names.end(),
                                  [&](const std::string& n) { return equalIgnoringCase(n, wanted); });
        if (found == names.end()) return ERROR_FILE_NOT_FOUND;
        current = current.child(*found);
    }
    // The last key must open too (a name may be listed and gone by now).
    KeyHandle key;
    if (LONG rv = key.open(current)) return rv;
    *out = current;
    return ERROR_SUCCESS;
}

LONG listKeyTree(const KeyPath& top, bool recursive, std::vector<KeyPath>* keys, std::string* failed) {
    keys->clear();
    std::vector<KeyPath> pending{top};
    while (!pending.empty()) {
        KeyPath path = std::move(pending.back());
        pending.pop_back();
        keys->push_back(path);
        if (!recursive) break;
        KeyHandle key;
        std::vector<std::string> names;
        LONG rv = key.open(path);
        if (rv == ERROR_SUCCESS) rv = readSubKeyNames(key.get(), &names);
        if (rv != ERROR_SUCCESS) {
            *failed = path.full();
            return rv;
        }
        for (auto it = names.rbegin(); it != names.rend(); ++it) pending.push_back(path.child(*it));
    }
    return ERROR_SUCCESS;
}

LONG setValue(HKEY key, const std::string& name, uint32_t type, const std::string& data) {
    // No data goes as a null pointer: the library would otherwise size an
    // empty string value from the text.
    const BYTE* bytes = data.empty() ? nullptr : reinterpret_cast<const BYTE*>(data.data());
    return RegSetValueExA(key, name.c_str(), 0, type, bytes, static_cast<DWORD>(data.size()));
}

size_t applyDocument(const RegDocument& doc, const ApplyFault& fault) {
    size_t total = 0;
    for (const RegFileSection& section : doc.sections) total += 1 + section.values.size();
    Progress progress("importing", total, "entries");
    size_t done = 0;
    size_t errors = 0;
    for (const RegFileSection& section : doc.sections) {
        KeyPath path;
        std::string why;
        LONG rv = ERROR_SUCCESS;
        std::string what = "[" + section.path + "]";
        int line = section.line;
        if (!parseKeyPath(section.path, &path, &why)) {
            rv = ERROR_INVALID_PARAMETER;  // the parser has already refused such a path
        } else if (section.remove) {
            rv = RegDeleteKeyA(path.root, path.subKey.c_str());
            if (rv == ERROR_FILE_NOT_FOUND) rv = ERROR_SUCCESS;
        } else {
            KeyHandle key;
            rv = key.create(path);
            for (size_t i = 0; rv == ERROR_SUCCESS && i < section.values.size(); i++) {
                const RegFileValue& v = section.values[i];
                if (v.remove) {
                    rv = RegDeleteValueA(key.get(), v.name.empty() ? nullptr : v.name.c_str());
                    if (rv == ERROR_FILE_NOT_FOUND) rv = ERROR_SUCCESS;
                } else {
                    rv = setValue(key.get(), v.name, v.type, v.data);
                }
                if (rv != ERROR_SUCCESS) {
                    what = "value " + (v.name.empty() ? std::string("@") : "\"" + v.name + "\"") + " of " + what;
                    line = v.line;
                }
                progress.update(++done);
            }
        }
        progress.update(++done);
        if (rv != ERROR_SUCCESS) {
            errors++;
            if (!fault(rv, what, line)) break;
        }
    }
    return errors;
}

}  // namespace regtool
