// Runs the built kalvoreg as a child process, as a user would from a shell.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tooltest {

struct ToolRun {
    int status = -1;  // exit status; 128+n when killed by signal n
    std::string out;
    std::string err;
    pid_t pid = -1;
};

// Runs `argv` (argv[0] the program) with `input` on standard input and its
// standard output and error captured apart; killed after 60 s.
ToolRun runProgram(const std::vector<std::string>& argv, const std::string& input = "");

// kalvoreg with `args`.
ToolRun runTool(const std::vector<std::string>& args, const std::string& input = "");

// kalvoreg with `args` and its standard error on a pseudo-terminal (what
// the terminal showed comes back in err).
ToolRun runToolOnTerminal(const std::vector<std::string>& args);

// A fresh directory under /tmp, and whole-file helpers.
std::string makeTempDir();
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace tooltest
