// What kalvoreg shows and asks on a terminal only: progress of long runs
// and confirmations.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace regtool {

// "label: N of TOTAL units" on standard error, rewritten in place at most
// ten times a second; nothing at all when standard error is no terminal.
class Progress {
  public:
    Progress(std::string label, size_t total, std::string unit = "keys");
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Records that `done` units are done.
    void update(size_t done);
    // Shows the last count and ends the line (once).
    void finish();

  private:
    std::string label_;
    std::string unit_;
    size_t total_;
    size_t done_ = 0;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
    void show();
};

// Asks `question` with (Yes/No) on standard error and reads the answer from
// standard input. False (not asked) when standard input is no terminal.
bool confirmOnTerminal(const std::string& question);

}  // namespace regtool
