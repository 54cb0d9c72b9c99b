#include "tools/regpath.h"

#include "tools/regtext.h"

namespace regtool {

namespace {

struct RootName {
    const char* full;
    const char* shortName;
    HKEY handle;
};

const RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", "HKU", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG},
};

std::string joinNames(const std::vector<std::string>& names, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; i++) {
        if (i > 0) out += '\\';
        out += names[i];
    }
    return out;
}

}  // namespace

std::string KeyPath::full() const { return subKey.empty() ? rootName : rootName + "\\" + subKey; }

KeyPath KeyPath::parent() const {
    KeyPath p = *this;
    std::vector<std::string> names = splitKeyNames(subKey);
    p.subKey = names.empty() ? "" : joinNames(names, names.size() - 1);
    return p;
}

std::string KeyPath::leaf() const {
    size_t cut = subKey.rfind('\\');
    return cut == std::string::npos ? subKey : subKey.substr(cut + 1);
}

KeyPath KeyPath::child(std::string_view name) const {
    KeyPath c = *this;
    c.subKey = subKey.empty() ? std::string(name) : subKey + "\\" + std::string(name);
    return c;
}

std::vector<std::string> splitKeyNames(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool parseKeyPath(std::string_view text, KeyPath* out, std::string* why) {
    std::vector<std::string> names = splitKeyNames(text);
    if (names.empty() || text.front() == '\\') {
        *why = "a key path must begin with a root key such as HKEY_LOCAL_MACHINE or HKLM";
        return false;
    }
    for (const RootName& r : kRoots) {
        if (equalIgnoringCase(names[0], r.full) || equalIgnoringCase(names[0], r.shortName)) {
            out->root = r.handle;
            out->rootName = r.full;
            names.erase(names.begin());
            out->subKey = joinNames(names, names.size());
            return true;
        }
    }
    *why = "unknown root key '" + names[0] +
           "' (use HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG "
           "or HKLM, HKCU, HKCR, HKU, HKCC)";
    return false;
}

bool parseKeyArgument(std::string_view text, KeyPath* out, std::string* why) {
    if (text.starts_with("\\\\")) {
        *why = "keys of other machines cannot be reached";
        return false;
    }
    size_t slash = text.find('\\');
    if (text.ends_with("\\\\") || (slash != std::string_view::npos && slash + 1 == text.size())) {
        *why = "invalid key name '" + std::string(text) + "'";
        return false;
    }
    return parseKeyPath(text, out, why);
}

}  // namespace regtool
