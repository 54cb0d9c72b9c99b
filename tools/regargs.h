// Sub-command arguments in both habits: "/v NAME" and "-v NAME" (also
// "--v NAME"), option names without case, "--" ending the options.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

namespace regtool {

struct OptionForm {
    const char* name;  // lower case, without the leading '/' or '-'
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // name -> value ("" for a flag)
    bool help = false;                           // a help word
    bool optionFirst = false;                    // the first word is an option: reg.exe wants KEY there

    bool has(const std::string& name) const { return options.count(name) != 0; }
    const std::string& value(const std::string& name) const { return options.at(name); }
};

// True for the words that ask for help: /?, -?, /h, -h (any case), --help.
bool isHelpWord(const std::string& word);

// Splits `args` into positional arguments and the options of `forms`. A
// word that looks like an option but names none of them is positional (a
// file such as /tmp/x.reg). False with the reason in *why for an option
// given twice or lacking its value.
bool parseArgs(const std::vector<std::string>& args, std::span<const OptionForm> forms, ParsedArgs* out,
               std::string* why);

}  // namespace regtool
