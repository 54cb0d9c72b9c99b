// Memory and CPU figures of a process as /proc tells them, for the benchmarks.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/types.h>

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

// CPU time in ns and the number of times put on a CPU (each one a context
// switch), summed over the threads of a process, from
// /proc/<pid>/task/*/schedstat; zeros when they cannot be read.
struct ProcCpu {
    double ns = 0;
    double slices = 0;
    ProcCpu& operator+=(const ProcCpu& other) {
        ns += other.ns;
        slices += other.slices;
        return *this;
    }
};

inline ProcCpu procCpu(pid_t pid) {
    ProcCpu total;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        if (e->d_name[0] == '.') continue;
        FILE* f = fopen((tasks + "/" + e->d_name + "/schedstat").c_str(), "r");
        unsigned long long ns = 0, wait = 0, slices = 0;
        if (f != nullptr && fscanf(f, "%llu %llu %llu", &ns, &wait, &slices) == 3) {
            total.ns += static_cast<double>(ns);
            total.slices += static_cast<double>(slices);
        }
        if (f != nullptr) fclose(f);
    }
    if (dir != nullptr) closedir(dir);
    return total;
}
