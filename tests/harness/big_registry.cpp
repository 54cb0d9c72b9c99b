#include "harness/big_registry.h"

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "store/regdcache.h"
#include "store/regdio.h"

namespace kalvotest {

bool writeBigRegistry(const std::string& path, bool asHive, int keys) {
    pid_t child = fork();
    if (child == 0) {
        if (chdir(std::filesystem::path(path).parent_path().c_str()) != 0 || regdInitCache() != 1) _exit(1);
        const RegdCaller none{};
        uint32_t big = 0;
        if (regdInsertKey(none, REGD_HKEY_LOCAL_MACHINE, "Software\\Big", 0, nullptr, 0, 0, nullptr, &big, nullptr,
                          0) != 0)
            _exit(1);
        char name[32], text[48];
        for (int k = 0; k < keys; k++) {
            uint32_t key = 0;
            snprintf(name, sizeof name, "G%03d\\K%03d", k / 200, k % 200);
            if (regdInsertKey(none, big, name, 0, nullptr, 0, 0, nullptr, &key, nullptr, 0) != 0) _exit(1);
            for (int v = 0; v < 19; v++) {
                snprintf(name, sizeof name, "V%02d", v);
                int len = snprintf(text, sizeof text, "value %d of key %d", v, k);
                regdRegSetValue(none, key, name, 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>(text),
                                static_cast<uint32_t>(len + 1), 0);
            }
        }
        _exit(regdWriteRegistryDatabase(none, asHive ? big : 0, path.c_str(), 1) == 0 ? 0 : 1);
    }
    int st = -1;
    return waitpid(child, &st, 0) == child && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace kalvotest
