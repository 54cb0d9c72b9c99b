// copy and compare: two keys at once.
#include <cstdio>

#include "tools/regcmds.h"
#include "tools/regdata.h"
#include "tools/regerror.h"
#include "tools/regtext.h"

namespace regtool {

namespace {

// `to` with the names that lead from `from` to `key` appended.
KeyPath rebase(const KeyPath& key, const KeyPath& from, const KeyPath& to) {
    KeyPath out = to;
    for (const std::string& name : splitKeyNames(std::string_view(key.subKey).substr(from.subKey.size()))) {
        out = out.child(name);
    }
    return out;
}

// What compare shows: /od (the default) differences, /os matches, /oa
// both, /on neither.
struct CompareRun {
    ValueChoice choice;
    bool recursive = false;
    bool showDifferent = true;
    bool showSame = false;
    bool different = false;
    std::string failed;

    // A line of the comparison: '<' for the first key, '>' the second, '=' both.
    void line(char side, const std::string& text) {
        bool same = side == '=';
        if (!same) different = true;
        if (same ? showSame : showDifferent) printf("%c %s\n", side, text.c_str());
    }

    // "Value: KEY  NAME  TYPE  DATA".
    static std::string valueText(const KeyPath& key, const ValueRecord& v) {
        return "Value: " + key.full() + "  " + (v.name.empty() ? std::string("(Default)") : v.name) + "  " +
               typeName(v.type) + "  " + formatQueryData(v.type, v.data, "\\0");
    }

    // Compares the values of `a` and `b` (only the chosen one with /v or
    // /ve), then their sub-keys by name, and with /s the common ones too.
    LONG compare(const KeyPath& a, const KeyPath& b) {
        KeyHandle ha;
        KeyHandle hb;
        std::vector<ValueRecord> va;
        std::vector<ValueRecord> vb;
        LONG rv = readKeyValues(a, &ha, &va);
        failed = a.full();
        if (rv == ERROR_SUCCESS) {
            rv = readKeyValues(b, &hb, &vb);
            failed = b.full();
        }
        if (rv != ERROR_SUCCESS) return rv;
        for (const ValueRecord& x : va) {
            if (choice.given && !equalIgnoringCase(x.name, choice.name)) continue;
            const ValueRecord* y = findValue(vb, x.name);
            if (y != nullptr && y->type == x.type && y->data == x.data) {
                line('=', valueText(a, x));
                continue;
            }
            line('<', valueText(a, x));
            if (y != nullptr) line('>', valueText(b, *y));
        }
        for (const ValueRecord& y : vb) {
            bool chosen = !choice.given || equalIgnoringCase(y.name, choice.name);
            if (chosen && findValue(va, y.name) == nullptr) line('>', valueText(b, y));
        }
        if (choice.given && !recursive) return ERROR_SUCCESS;
        std::vector<std::string> ka;
        std::vector<std::string> kb;
        if ((rv = readSubKeyNames(ha.get(), &ka)) != ERROR_SUCCESS) return rv;
        failed = b.full();
        if ((rv = readSubKeyNames(hb.get(), &kb)) != ERROR_SUCCESS) return rv;
        auto has = [](const std::vector<std::string>& names, const std::string& n) {
            for (const std::string& m : names) {
                if (equalIgnoringCase(m, n)) return true;
            }
            return false;
        };
        for (const std::string& n : ka) {
            if (!has(kb, n)) {
                line('<', "Key: " + a.child(n).full());
            } else if (!recursive) {
                line('=', "Key: " + a.child(n).full());
            } else if ((rv = compare(a.child(n), b.child(n))) != ERROR_SUCCESS) {
                return rv;
            }
        }
        for (const std::string& n : kb) {
            if (!has(ka, n)) line('>', "Key: " + b.child(n).full());
        }
        return ERROR_SUCCESS;
    }
};

}  // namespace

int runCopy(const ParsedArgs& args) {
    const std::string cmd = "copy";
    KeyPath from;
    KeyPath to;
    if (!expectPositional(cmd, args, 2, "KEY1 KEY2") || !keyArgument(cmd, args.positional[0], &from) ||
        !keyArgument(cmd, args.positional[1], &to) || !announceToDaemon(cmd) || !findKey(cmd, from, &from)) {
        return 1;
    }
    KeyPath existing;
    bool exists = canonicalKeyPath(to, &existing) == ERROR_SUCCESS;
    if (exists && existing.root == from.root && equalIgnoringCase(existing.subKey, from.subKey)) {
        return reportError(cmd + " " + from.full(), ERROR_INVALID_PARAMETER, "(a key cannot be copied onto itself)");
    }
    if (exists && !confirmed(cmd, args.has("f"), "Overwrite the values of " + existing.full(), "/f")) return 1;
    // The whole source is listed first, so that a copy into its own tree ends.
    std::vector<KeyPath> keys;
    std::string failed;
    if (LONG rv = listKeyTree(from, args.has("s"), &keys, &failed)) return reportError(cmd + " " + failed, rv);
    for (const KeyPath& key : keys) {
        KeyHandle source;
        KeyHandle target;
        std::vector<ValueRecord> values;
        KeyPath dest = rebase(key, from, to);
        if (LONG rv = readKeyValues(key, &source, &values)) return reportError(cmd + " " + key.full(), rv);
        if (LONG rv = target.create(dest)) return reportError(cmd + " " + dest.full(), rv);
        for (const ValueRecord& v : values) {
            if (LONG rv = setValue(target.get(), v.name, v.type, v.data)) {
                return reportError(cmd + " " + dest.full() + " \"" + v.name + "\"", rv);
            }
        }
    }
    return succeeded();
}

int runCompare(const ParsedArgs& args) {
    const std::string cmd = "compare";
    KeyPath a;
    KeyPath b;
    CompareRun run;
    int outputs = 0;
    for (const char* o : {"oa", "od", "os", "on"}) outputs += args.has(o) ? 1 : 0;
    if (outputs > 1) return usageError(cmd, "/oa, /od, /os and /on exclude each other");
    if (!expectPositional(cmd, args, 2, "KEY1 KEY2") || !keyArgument(cmd, args.positional[0], &a) ||
        !keyArgument(cmd, args.positional[1], &b) || !valueChoice(cmd, args, &run.choice) ||
        !announceToDaemon(cmd) || !findKey(cmd, a, &a) || !findKey(cmd, b, &b)) {
        return 1;
    }
    run.recursive = args.has("s");
    run.showDifferent = args.has("oa") || args.has("od") || outputs == 0;
    run.showSame = args.has("oa") || args.has("os");
    if (LONG rv = run.compare(a, b)) return reportError(cmd + " " + run.failed, rv);
    printf("\nResult Compared: %s\n", run.different ? "Different" : "Identical");
    succeeded();
    return run.different ? 2 : 0;
}

}  // namespace regtool
