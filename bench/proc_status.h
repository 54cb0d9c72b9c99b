// Memory figures of a process as /proc tells them, for the benchmarks.
#pragma once

#include <cstdio>
#include <string>

// VmHWM (the high-water mark of resident memory) of /proc/<who>/status in
// KiB, 0 when it cannot be read; `who` is a pid or "self".
inline long procPeakKiB(const std::string& who) {
    FILE* f = fopen(("/proc/" + who + "/status").c_str(), "r");
    long kib = 0;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    if (f != nullptr) fclose(f);
    return kib;
}
