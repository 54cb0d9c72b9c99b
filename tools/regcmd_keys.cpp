// query, add and delete.
#include <cstdio>

#include "tools/regcmds.h"
#include "tools/regdata.h"
#include "tools/regerror.h"
#include "tools/regops.h"
#include "tools/regtext.h"

namespace regtool {

namespace {

// One value line of query: indent, name, type and data, four spaces apart.
void printValue(const ValueRecord& v, const std::string& separator) {
    std::string line = "    " + (v.name.empty() ? std::string("(Default)") : v.name) + "    " + typeName(v.type) +
                       "    " + formatQueryData(v.type, v.data, separator) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
}

// Every value of `key`, then its sub-keys: their paths, or with `recursive`
// the same for each of them, in reg.exe's layout.
LONG queryAll(const KeyPath& key, bool recursive, const std::string& separator, std::string* failed) {
    KeyHandle handle;
    std::vector<ValueRecord> values;
    std::vector<std::string> names;
    LONG rv = readKeyValues(key, &handle, &values);
    if (rv == ERROR_SUCCESS) rv = readSubKeyNames(handle.get(), &names);
    if (rv != ERROR_SUCCESS) {
        *failed = key.full();
        return rv;
    }
    printf("%s\n", key.full().c_str());
    for (const ValueRecord& v : values) printValue(v, separator);
    if (!values.empty() || recursive) printf("\n");
    for (const std::string& n : names) {
        if (!recursive) {
            printf("%s\n", key.child(n).full().c_str());
        } else if (LONG rv2 = queryAll(key.child(n), true, separator, failed)) {
            return rv2;
        }
    }
    if (!names.empty() && !recursive) printf("\n");
    return ERROR_SUCCESS;
}

}  // namespace

int runQuery(const ParsedArgs& args) {
    const std::string cmd = "query";
    KeyPath path;
    ValueChoice choice;
    if (!expectPositional(cmd, args, 1, "KEY") || !keyArgument(cmd, args.positional[0], &path) ||
        !valueChoice(cmd, args, &choice) || !announceToDaemon(cmd) || !findKey(cmd, path, &path)) {
        return 1;
    }
    bool recursive = args.has("s");
    std::string separator = args.has("se") ? args.value("se") : "\\0";
    std::string failed;
    printf("\n");
    if (!choice.given) {
        LONG rv = queryAll(path, recursive, separator, &failed);
        return rv == ERROR_SUCCESS ? 0 : reportError(cmd + " " + failed, rv);
    }
    std::vector<KeyPath> keys;
    if (LONG rv = listKeyTree(path, recursive, &keys, &failed)) return reportError(cmd + " " + failed, rv);
    size_t matches = 0;
    for (const KeyPath& key : keys) {
        KeyHandle handle;
        std::vector<ValueRecord> values;
        if (LONG rv = readKeyValues(key, &handle, &values)) return reportError(cmd + " " + key.full(), rv);
        const ValueRecord* only = findValue(values, choice.name);
        if (only == nullptr && (recursive || !choice.name.empty())) continue;
        matches++;
        printf("%s\n", key.full().c_str());
        if (only != nullptr) {
            printValue(*only, separator);
        } else {
            printf("    (Default)    REG_SZ    (value not set)\n");
        }
        printf("\n");
    }
    if (recursive) {
        printf("End of search: %zu match(es) found.\n", matches);
    } else if (matches == 0) {
        return reportError(cmd + " " + path.full(), ERROR_FILE_NOT_FOUND, "(no value " + choice.shown() + ")");
    }
    return 0;
}

int runAdd(const ParsedArgs& args) {
    const std::string cmd = "add";
    KeyPath path;
    ValueChoice choice;
    if (!expectPositional(cmd, args, 1, "KEY") || !keyArgument(cmd, args.positional[0], &path) ||
        !valueChoice(cmd, args, &choice)) {
        return 1;
    }
    uint32_t type = TYPE_SZ;
    if (args.has("t") && !parseAddType(args.value("t"), &type)) {
        return reportError(cmd, TOOL_ERROR_INVALID_DATATYPE,
                           "('" + args.value("t") +
                               "' is not one of REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, "
                               "REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE)");
    }
    bool setsValue = choice.given || args.has("d") || args.has("t");
    std::string bytes;
    std::string why;
    if (setsValue && !parseAddData(type, args.has("d") ? args.value("d") : "", args.has("s") ? args.value("s") : "\\0",
                                   &bytes, &why)) {
        return reportError(cmd, TOOL_ERROR_INVALID_DATA, "(" + why + ")");
    }
    if (!announceToDaemon(cmd)) return 1;
    KeyHandle key;
    if (LONG rv = key.create(path)) return reportError(cmd + " " + path.full(), rv);
    if (!setsValue) return succeeded();
    std::vector<ValueRecord> values;
    if (LONG rv = readValues(key.get(), &values)) return reportError(cmd + " " + path.full(), rv);
    if (findValue(values, choice.name) != nullptr &&
        !confirmed(cmd, args.has("f"), "Value " + choice.shown() + " exists, overwrite", "/f")) {
        return 1;
    }
    LONG rv = setValue(key.get(), choice.name, type, bytes);
    if (rv != ERROR_SUCCESS) return reportError(cmd + " " + path.full() + " " + choice.shown(), rv);
    return succeeded();
}

int runDelete(const ParsedArgs& args) {
    const std::string cmd = "delete";
    KeyPath path;
    ValueChoice choice;
    if (!expectPositional(cmd, args, 1, "KEY") || !keyArgument(cmd, args.positional[0], &path) ||
        !valueChoice(cmd, args, &choice) || !announceToDaemon(cmd) || !findKey(cmd, path, &path)) {
        return 1;
    }
    bool forced = args.has("f");
    if (!choice.given && !args.has("va")) {
        if (path.subKey.empty()) {
            return reportError(cmd + " " + path.full(), ERROR_INVALID_PARAMETER, "(a root key cannot be deleted)");
        }
        if (!confirmed(cmd, forced, "Permanently delete the registry key " + path.full(), "/f")) return 1;
        LONG rv = RegDeleteKeyA(path.root, path.subKey.c_str());
        return rv == ERROR_SUCCESS ? succeeded() : reportError(cmd + " " + path.full(), rv);
    }
    KeyHandle key;
    std::vector<ValueRecord> values;
    if (LONG rv = readKeyValues(path, &key, &values)) return reportError(cmd + " " + path.full(), rv);
    std::vector<std::string> doomed;
    if (args.has("va")) {
        if (!confirmed(cmd, forced, "Delete all values under the registry key " + path.full(), "/f")) return 1;
        for (const ValueRecord& v : values) doomed.push_back(v.name);
    } else {
        const ValueRecord* found = findValue(values, choice.name);
        if (found == nullptr) {
            return reportError(cmd + " " + path.full(), ERROR_FILE_NOT_FOUND, "(no value " + choice.shown() + ")");
        }
        if (!confirmed(cmd, forced, "Delete the registry value " + choice.shown() + " of " + path.full(), "/f")) {
            return 1;
        }
        doomed.push_back(found->name);
    }
    for (const std::string& name : doomed) {
        LONG rv = RegDeleteValueA(key.get(), name.empty() ? nullptr : name.c_str());
        if (rv != ERROR_SUCCESS) return reportError(cmd + " " + path.full() + " \"" + name + "\"", rv);
    }
    return succeeded();
}

}  // namespace regtool
