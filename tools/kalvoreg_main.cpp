// kalvoreg: administers the registry of a running registry daemon.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/regargs.h"
#include "tools/regcmds.h"
#include "tools/regerror.h"
#include "tools/regtext.h"

#ifndef KALVOREG_VERSION
#define KALVOREG_VERSION "unknown"
#endif

namespace {

using regtool::OptionForm;
using regtool::ParsedArgs;

struct Command {
    const char* name;
    const char* summary;
    const char* help;  // the usage lines and what each form does
    std::vector<OptionForm> options;
    int (*run)(const ParsedArgs&);
    bool keyFirst = false;  // reg.exe wants KEY as the first argument
};

const char kKeyHelp[] =
    "KEY is ROOT\\SubKey\\...; ROOT is HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU) or HKEY_CURRENT_CONFIG (HKCC).\n"
    "Options are written /x or -x, without regard to case.\n";

// Every sub-command with its help and options.
const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"query", "show a key's values and sub-keys",
         "kalvoreg query KEY [/v NAME | /ve] [/s] [/se SEPARATOR]\n"
         "  After a blank line, prints KEY's full path, then one line per value: four spaces,\n"
         "  the name ((Default) for the default value), four spaces, the type, four spaces,\n"
         "  the data; then a blank line and the full paths of KEY's sub-keys.\n"
         "  /v NAME   only the value NAME      /ve  only the default value ((value not set) if none)\n"
         "  /s        every key below KEY too  /se  join REG_MULTI_SZ strings with SEPARATOR (default \\0)\n",
         {{"v", true}, {"ve", false}, {"s", false}, {"se", true}},
         regtool::runQuery, true},
        {"add", "create a key or set a value",
         "kalvoreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
         "  Creates KEY (and the keys above it). With /v, /ve, /t or /d also sets a value.\n"
         "  /v NAME   the value NAME           /ve  the default value\n"
         "  /t TYPE   REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
         "            REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY or REG_NONE\n"
         "  /d DATA   text; a decimal or 0x number (0 without /d); hex digits for REG_BINARY\n"
         "  /s SEP    separates the strings of REG_MULTI_SZ data (default \\0)\n"
         "  /f        overwrite an existing value without asking\n",
         {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}},
         regtool::runAdd, true},
        {"delete", "delete a key or values",
         "kalvoreg delete KEY [/v NAME | /ve | /va] [/f]\n"
         "  Deletes KEY and everything below it, or only values of it.\n"
         "  /v NAME   the value NAME   /ve  the default value   /va  every value of KEY\n"
         "  /f        do not ask (needed when standard input is not a terminal)\n",
         {{"v", true}, {"ve", false}, {"va", false}, {"f", false}},
         regtool::runDelete, true},
        {"copy", "copy a key's values, and with /s its tree, to another key",
         "kalvoreg copy KEY1 KEY2 [/s] [/f]\n"
         "  Creates KEY2 and sets on it every value of KEY1; other values of KEY2 stay.\n"
         "  /s   every key below KEY1 too, below KEY2 by the same names\n"
         "  /f   do not ask when KEY2 exists (needed when standard input is not a terminal)\n",
         {{"s", false}, {"f", false}},
         regtool::runCopy, true},
        {"compare", "compare two keys' values and sub-keys",
         "kalvoreg compare KEY1 KEY2 [/v NAME | /ve] [/s] [/oa | /od | /os | /on]\n"
         "  Prints '< ' for what only KEY1 has or has otherwise, '> ' for KEY2, '= ' for a match,\n"
         "  then \"Result Compared: Identical\" or \"Different\". Exit status 0 identical,\n"
         "  2 different, 1 on an error.\n"
         "  /v NAME   only the value NAME     /ve  only the default value\n"
         "  /s        the keys below too      /oa  show differences and matches\n"
         "  /od       differences (default)   /os  only matches   /on  neither\n",
         {{"v", true}, {"ve", false}, {"s", false}, {"oa", false}, {"od", false}, {"os", false}, {"on", false}},
         regtool::runCompare, true},
        {"export", "write a key and its tree to a .reg file",
         "kalvoreg export KEY FILE [/y] [/a]\n"
         "  Writes KEY, its values and every key below it to FILE (- for standard output),\n"
         "  keys and values sorted by name without regard to case, as\n"
         "  \"Windows Registry Editor Version 5.00\" text in UTF-16LE with a byte-order mark.\n"
         "  /a   write REGEDIT4 text (8-bit) instead\n"
         "  /y   overwrite an existing FILE without asking\n",
         {{"y", false}, {"a", false}},
         regtool::runExport, true},
        {"import", "carry out a .reg file",
         "kalvoreg import FILE [/strict]\n"
         "  Reads FILE (- for standard input), REGEDIT4, Version 5.00 or REGEDIT (Windows 3.1),\n"
         "  and creates its keys, sets its values, and deletes [-KEY] keys and \"name\"=- values.\n"
         "  A faulty line is reported as FILE:LINE: reason and skipped; the rest is imported.\n"
         "  Exit status 0 when FILE could be read.\n"
         "  /strict   any fault changes nothing and gives exit status 1\n",
         {{"strict", false}},
         regtool::runImport},
        {"save", "write a key to a hive file",
         "kalvoreg save KEY FILE\n"
         "  The daemon writes KEY and its tree to the new file FILE (an existing file is kept).\n",
         {},
         regtool::runSave},
        {"load", "load a hive file as a key",
         "kalvoreg load KEY FILE\n"
         "  The daemon reads the hive FILE and puts its tree in place of KEY.\n",
         {},
         regtool::runLoad},
        {"unload", "remove a key without writing it",
         "kalvoreg unload KEY\n"
         "  Removes KEY and its tree from the registry; no file is written.\n",
         {},
         regtool::runUnload},
        {"restore", "add a saved key below a key",
         "kalvoreg restore KEY FILE\n"
         "  The daemon reads the hive FILE and puts its tree below KEY, under the name it was saved with.\n",
         {},
         regtool::runRestore},
        {"replace", "save a key and load another in its place",
         "kalvoreg replace KEY NEWFILE OLDFILE\n"
         "  The daemon writes KEY to OLDFILE, then loads the hive NEWFILE in its place.\n",
         {},
         regtool::runReplace},
        {"watch", "print each change of a key as it happens",
         "kalvoreg watch KEY [/s]\n"
         "  Prints a line for each change of KEY until interrupted, or until KEY is deleted\n"
         "  (exit status 0): \"added key PATH\", \"deleted key PATH\", \"set PATH    NAME    TYPE    DATA\"\n"
         "  (a value made or changed) and \"deleted value PATH    NAME\". Changes by any process count.\n"
         "  /s   every key below KEY too (without it, only KEY's values and its sub-keys' names)\n",
         {{"s", false}},
         regtool::runWatch, true},
        {"version", "show the daemon's protocol version",
         "kalvoreg version\n  Prints this tool's version and the daemon's protocol version.\n", {},
         regtool::runVersion},
        {"ping", "check that the daemon answers",
         "kalvoreg ping\n  Prints the daemon's process id; exit status 1 when it does not answer.\n", {},
         regtool::runPing},
        {"sync-dump", "have the sync server dump its state",
         "kalvoreg sync-dump\n"
         "  Asks the daemon's sync server to write its objects, waits and processes to the\n"
         "  daemon's standard error.\n",
         {},
         regtool::runSyncDump},
    };
    return table;
}

// The list of commands and the common rules.
void printGeneralHelp(FILE* out) {
    fprintf(out,
            "Usage: kalvoreg COMMAND [ARGUMENTS]\n"
            "Administers the registry of the daemon named by KALVO_REGISTRY_HOST (default localhost)\n"
            "and KALVO_REGISTRY_PROG (default 0x3003003C).\n\nCommands:\n");
    for (const Command& c : commands()) fprintf(out, "  %-10s %s\n", c.name, c.summary);
    fprintf(out,
            "\n%s\"kalvoreg COMMAND /?\" shows a command's forms. Exit status: 0 on success, 1 on failure\n"
            "with the Win32 error's name and text on standard error (compare: 2 when the keys differ).\n",
            kKeyHelp);
}

// One command's forms, on standard output.
void printCommandHelp(const Command& c) { printf("Usage: %s\n%s", c.help, kKeyHelp); }

// The command named `name` (without case), or null.
const Command* findCommand(const std::string& name) {
    for (const Command& c : commands()) {
        if (regtool::equalIgnoringCase(name, c.name)) return &c;
    }
    return nullptr;
}

// Runs the command line `words`; the exit status.
int run(const std::vector<std::string>& words) {
    if (words.empty()) {
        printGeneralHelp(stderr);
        return 1;
    }
    const std::string& first = words[0];
    if (regtool::isHelpWord(first)) {
        printGeneralHelp(stdout);
        return 0;
    }
    if (first == "--version") {
        printf("kalvoreg %s\n", KALVOREG_VERSION);
        return 0;
    }
    if (first == "help") {
        if (words.size() < 2) {
            printGeneralHelp(stdout);
            return 0;
        }
        const Command* c = findCommand(words[1]);
        if (c == nullptr) return regtool::usageError("help", "unknown command '" + words[1] + "'");
        printCommandHelp(*c);
        return 0;
    }
    const Command* c = findCommand(first);
    if (c == nullptr) {
        fprintf(stderr, "kalvoreg: %s (unknown command '%s')\nTry 'kalvoreg --help'.\n",
                regtool::describeError(regtool::TOOL_ERROR_BAD_ARGUMENTS).c_str(), first.c_str());
        return 1;
    }
    ParsedArgs args;
    std::string why;
    if (!regtool::parseArgs(std::vector<std::string>(words.begin() + 1, words.end()), c->options, &args, &why)) {
        return regtool::usageError(c->name, why);
    }
    if (args.help) {
        printCommandHelp(*c);
        return 0;
    }
    if (c->keyFirst && args.optionFirst) return regtool::usageError(c->name, "KEY must come before the options");
    return c->run(args);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    int status = run(words);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "kalvoreg: %s (standard output could not be written)\n",
                regtool::describeError(regtool::TOOL_ERROR_WRITE_FAULT).c_str());
        return 1;
    }
    return status;
}
