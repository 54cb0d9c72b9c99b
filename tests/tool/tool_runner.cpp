#include "tool/tool_runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tooltest {

namespace {

// Reads fds[i] into *outs[i] until all are closed (or give EIO, as a pty
// does once the child is gone) or the deadline passes.
void drain(std::vector<int> fds, std::vector<std::string*> outs, std::chrono::steady_clock::time_point deadline) {
    std::vector<bool> open(fds.size(), true);
    auto anyOpen = [&] {
        for (bool o : open) {
            if (o) return true;
        }
        return false;
    };
    while (anyOpen() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> p;
        std::vector<size_t> which;
        for (size_t i = 0; i < fds.size(); i++) {
            if (open[i]) {
                p.push_back({fds[i], POLLIN, 0});
                which.push_back(i);
            }
        }
        if (poll(p.data(), p.size(), 100) <= 0) continue;
        for (size_t k = 0; k < p.size(); k++) {
            if (p[k].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(p[k].fd, buf, sizeof buf);
            if (n > 0) {
                outs[which[k]]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                open[which[k]] = false;
            }
        }
    }
}

// Reaps `child` (killed at the deadline); its exit status or 128+signal.
int waitChild(pid_t child, std::chrono::steady_clock::time_point deadline) {
    int st = 0;
    while (waitpid(child, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &st, 0);
            break;
        }
        usleep(10000);
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Replaces the process with argv[0]; exit 127 when that fails.
[[noreturn]] void execArgs(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// kalvoreg's path followed by `args`.
std::vector<std::string> toolArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KALVOREG_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

ToolRun runProgram(const std::vector<std::string>& argv, const std::string& input) {
    ToolRun run;
    std::string inputPath = makeTempDir() + "/stdin";
    writeFile(inputPath, input);
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return run;
    run.pid = fork();
    if (run.pid == 0) {
        int in = open(inputPath.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        execArgs(argv);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    drain({outPipe[0], errPipe[0]}, {&run.out, &run.err}, deadline);
    close(outPipe[0]);
    close(errPipe[0]);
    run.status = waitChild(run.pid, deadline);
    unlink(inputPath.c_str());
    rmdir(inputPath.substr(0, inputPath.rfind('/')).c_str());
    return run;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& input) {
    return runProgram(toolArgv(args), input);
}

ToolRun runToolOnTerminal(const std::vector<std::string>& args) {
    ToolRun run;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return run;
    int outPipe[2];
    if (pipe(outPipe) != 0) return run;
    run.pid = fork();
    if (run.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(slave, 2);
        close(master);
        close(outPipe[0]);
        execArgs(toolArgv(args));
    }
    close(slave);
    close(outPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    drain({outPipe[0], master}, {&run.out, &run.err}, deadline);
    close(outPipe[0]);
    close(master);
    run.status = waitChild(run.pid, deadline);
    return run;
}

std::string makeTempDir() {
    char tmpl[] = "/tmp/kalvoreg_test_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    return tmpl;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tooltest
