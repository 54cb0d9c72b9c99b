#include "tools/regargs.h"

#include "tools/regtext.h"

namespace regtool {

namespace {

// The form that `word` names ("/ve", "-ve", "--ve"), or null.
const OptionForm* findOption(const std::string& word, std::span<const OptionForm> forms) {
    std::string_view name = word;
    if (name.size() < 2 || (name[0] != '/' && name[0] != '-')) return nullptr;
    name.remove_prefix(name.substr(0, 2) == "--" ? 2 : 1);
    for (const OptionForm& s : forms) {
        if (equalIgnoringCase(name, s.name)) return &s;
    }
    return nullptr;
}

}  // namespace

bool isHelpWord(const std::string& a) {
    return a == "/?" || a == "-?" || a == "--help" || equalIgnoringCase(a, "/h") || equalIgnoringCase(a, "-h");
}

bool parseArgs(const std::vector<std::string>& args, std::span<const OptionForm> forms, ParsedArgs* out,
               std::string* why) {
    *out = ParsedArgs();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (optionsEnded) {
            out->positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (isHelpWord(a)) {
            out->help = true;
            continue;
        }
        const OptionForm* form = findOption(a, forms);
        if (form == nullptr) {
            out->positional.push_back(a);
            continue;
        }
        if (i == 0) out->optionFirst = true;
        if (out->options.count(form->name) != 0) {
            *why = "option /" + std::string(form->name) + " is given twice";
            return false;
        }
        std::string value;
        if (form->takesValue) {
            if (i + 1 >= args.size()) {
                *why = "option /" + std::string(form->name) + " needs a value";
                return false;
            }
            value = args[++i];
        }
        out->options[form->name] = value;
    }
    return true;
}

}  // namespace regtool
