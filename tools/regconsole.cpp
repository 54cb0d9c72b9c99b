#include "tools/regconsole.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace regtool {

Progress::Progress(std::string label, size_t total, std::string unit)
    : label_(std::move(label)), unit_(std::move(unit)), total_(total), enabled_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::update(size_t done) {
    done_ = done;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    show();
}

void Progress::finish() {
    if (!enabled_) return;
    show();
    fputc('\n', stderr);
    enabled_ = false;
}

void Progress::show() {
    fprintf(stderr, "\r%s: %zu of %zu %s", label_.c_str(), done_, total_, unit_.c_str());
    fflush(stderr);
    shown_ = true;
}

bool confirmOnTerminal(const std::string& question) {
    if (isatty(STDIN_FILENO) != 1) return false;
    while (true) {
        fprintf(stderr, "%s (Yes/No)? ", question.c_str());
        fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer)) return false;
        if (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES") return true;
        if (answer == "n" || answer == "N" || answer == "no" || answer == "No" || answer == "NO") return false;
    }
}

}  // namespace regtool
