// The database reader on arbitrary file contents: either as the main file
// read at start-up (the registry's only source when it is sound), or as a hive file loaded under
// HKEY_LOCAL_MACHINE of a fresh registry. Whatever it takes in must be a
// tree the cache can walk, each record found again by its name through the
// cache's index; then the cache is discarded.
//
// Input: one byte (bit 0 set: main file, clear: hive), then the file.
// Run: scripts/fuzz.sh database SECONDS
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/files.h"
#include "base/log.h"
#include "store/regdcache.h"
#include "store/regdio.h"

namespace {

// The file the reader opens: a memory file, rewritten for each input.
int g_fileFd = -1;
std::string g_filePath;

bool writeFile(const uint8_t* data, size_t size) {
    if (ftruncate(g_fileFd, 0) != 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(g_fileFd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Every record below `top` (a loaded tree) is found from its parent by its
// own name and kind; a name the path syntax cannot carry is left out.
void checkTree(RegCacheRec* top) {
    RegCacheRec* cur = top->firstChild;
    while (cur != nullptr && cur != top) {
        const char* name = cur->name != nullptr ? cur->name : "";
        if (name[0] != '\0' && strchr(name, '\\') == nullptr &&
            regdFindSubKey(cur->parent, name, cur->kind) == nullptr) {
            fprintf(stderr, "record \"%s\" (kind %u) not found under its parent\n", name, cur->kind);
            abort();
        }
        if (cur->firstChild != nullptr) {
            cur = cur->firstChild;
            continue;
        }
        while (cur != top && cur->next == nullptr) cur = cur->parent;
        if (cur != top) cur = cur->next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    regdCloseLog();  // the reader's complaints about damaged files are not wanted
    g_fileFd = memfd_create("kalvo_fuzz_db", MFD_CLOEXEC);
    if (g_fileFd < 0) abort();
    g_filePath = "/proc/self/fd/" + std::to_string(g_fileFd);
    // Start-up reads the main file from the working directory: there it is
    // a link to the memory file, in a directory of the target's own.
    char dir[] = "/tmp/kalvo-fuzz-db-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0 || symlink(g_filePath.c_str(), REGD_DB_FILE) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || !writeFile(data + 1, size - 1)) return 0;
    const RegdCaller nobody{};
    if ((data[0] & 1) != 0) {
        regdDiscardCache();
        bool mainFileUsed = false;
        if (regdLoadRegistry(&mainFileUsed) != 0 && mainFileUsed) {
            for (uint32_t h : {REGD_HKEY_CLASSES_ROOT, REGD_HKEY_LOCAL_MACHINE, REGD_HKEY_USERS,
                               REGD_HKEY_CURRENT_CONFIG, REGD_HKEY_DYN_DATA}) {
                RegCacheRec* rec = regdFindHKey(nobody, h);
                if (rec != nullptr) checkTree(rec);
            }
        }
    } else if (regdInitCache()) {
        RegCacheRec* machine = regdFindHKey(nobody, REGD_HKEY_LOCAL_MACHINE);
        if (machine != nullptr && regdLoadHive(machine, g_filePath.c_str(), nullptr, nullptr) == 0)
            checkTree(machine);
    }
    regdDiscardCache();
    return 0;
}
