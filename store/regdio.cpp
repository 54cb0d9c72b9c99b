#include "store/regdio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "store/cache_internal.h"

uint32_t g_version = 0;
int registryDatabaseFixed = 0;

namespace {

RegdLoadProgressHook g_loadProgressHook = nullptr;
// The last full save failed; while it keeps failing, the writer's own
// complaints are not repeated at every flush.
bool g_saveFailing = false;
bool g_quietWrites = false;
// Set while regdLoadRegistry reads, so that only start-up reads report.
bool g_startupRead = false;
// The hook stopped the read in progress.
bool g_loadStopped = false;

void regdFixRegistryCache(uint32_t version);

bool isWithin(const RegCacheRec* rec, const RegCacheRec* ancestor) {
    for (const RegCacheRec* r = rec; r != nullptr; r = r->parent)
        if (r == ancestor) return true;
    return false;
}

// Moves every child of `from` to the end of `to`'s child list, in order.
void moveChildren(RegCacheRec* from, RegCacheRec* to) {
    while (RegCacheRec* c = from->firstChild) {
        regdUnlinkChild(c);
        regdLinkChild(to, c, true);
    }
}

// Calls fn on `first`, on its later siblings and on everything below them,
// in pre-order, without recursion.
template <typename Fn>
void forEachFrom(RegCacheRec* first, Fn fn) {
    if (first == nullptr) return;
    RegCacheRec* stop = first->parent;
    RegCacheRec* cur = first;
    while (cur != nullptr) {
        fn(cur);
        if (cur->firstChild != nullptr) {
            cur = cur->firstChild;
            continue;
        }
        while (cur != nullptr && cur->next == nullptr) {
            cur = cur->parent;
            if (cur == stop) cur = nullptr;
        }
        if (cur != nullptr) cur = cur->next;
    }
}

uint32_t getLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// ---- Reading ----

// Large enough that even a big file takes few system calls; small beside
// what the records of such a file take in memory.
constexpr size_t READ_BUFFER_BYTES = 4 * 1024 * 1024;

// Reads a file through a buffer, never past the size it had when opened;
// or, with no file (fd -1), bytes already in memory.
struct FileReader {
    int fd = -1;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;
    uint64_t pos = 0;
    struct Buffer {  // in huge pages when large: no fault per 4 KiB
        uint8_t* p = nullptr;
        size_t n = 0;
        ~Buffer() { regdBigFree(p, n); }
        bool empty() const { return p == nullptr; }
        size_t size() const { return n; }
        uint8_t* data() const { return p; }
        void resize(size_t bytes) {
            p = static_cast<uint8_t*>(regdBigAlloc(bytes));
            n = p != nullptr ? bytes : 0;
        }
    } buf;
    size_t bufPos = 0;
    size_t bufLen = 0;

    uint64_t remaining() const { return size - pos; }

    bool read(void* out, size_t n) {
        if (n > remaining()) return false;
        auto* dst = static_cast<uint8_t*>(out);
        while (n > 0) {
            if (bufPos == bufLen && !refill()) return false;
            size_t take = std::min(bufLen - bufPos, n);
            memcpy(dst, buf.data() + bufPos, take);
            bufPos += take;
            dst += take;
            n -= take;
            pos += take;
        }
        return true;
    }

    bool u32(uint32_t& v) {
        if (bufLen - bufPos >= 4 && remaining() >= 4) [[likely]] {
            v = getLE32(buf.data() + bufPos);
            bufPos += 4;
            pos += 4;
            return true;
        }
        uint8_t b[4];
        if (!read(b, sizeof b)) return false;
        v = getLE32(b);
        return true;
    }

    bool i32(int32_t& v) {
        uint32_t raw = 0;
        if (!u32(raw)) return false;
        v = static_cast<int32_t>(raw);
        return true;
    }

    bool refill() {
        if (buf.empty()) buf.resize(static_cast<size_t>(std::min<uint64_t>(size, READ_BUFFER_BYTES)) + 1);
        if (buf.empty()) return false;
        if (fd < 0) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
            if (memory == nullptr || take == 0) return false;
            memcpy(buf.data(), memory + pos, take);
            bufPos = 0;
            bufLen = take;
            return true;
        }
        for (;;) {
            ssize_t got = ::read(fd, buf.data(), buf.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;  // the file shrank under us, or an I/O error
            bufPos = 0;
            bufLen = static_cast<size_t>(got);
            return true;
        }
    }
};

// While a file is read, a record's four link fields hold file indices
// (REGD_NO_LINK for none) rather than pointers: no side table of a million
// entries to allocate, fault in and free. They become pointers when the
// records are handed to the cache.
int32_t fileLink(const RegCacheRec* link) { return static_cast<int32_t>(reinterpret_cast<intptr_t>(link)); }
RegCacheRec* asFileLink(int32_t index) { return reinterpret_cast<RegCacheRec*>(static_cast<intptr_t>(index)); }

// A record's packState while it is read: part of a tree under one of the
// file's top records.
constexpr int8_t REGD_READ_REACHED = 1;

// Records are decoded straight into their final place: the block's record
// array, with names, classes and data in its byte area. Links stay file
// indices until the trees are checked.
struct ReadState {
    uint32_t isMain = 0;
    FileReader in;
    bool haveHeader = false;
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t nRead = 0;
    RegdRecBlock* block = nullptr;
    size_t bytesUsed = 0;
    std::thread prefault;

    RegCacheRec& rec(int32_t index) const { return block->recs[index]; }
    bool reached(int32_t index) const { return rec(index).packState == REGD_READ_REACHED; }

    ReadState() = default;
    ReadState(const ReadState&) = delete;
    ReadState& operator=(const ReadState&) = delete;
    ~ReadState() {
        if (prefault.joinable()) prefault.join();
        regdFreeBlock(block);
    }
};

// The kernel zeroes each fresh page of the record array and the byte area
// at its first touch; for a large file that is a third of the load. Another
// thread has the pages made ahead of the reader, which then finds them ready
// (kernels before 5.14 refuse the advice, and the reader faults them in
// itself as before). Of the byte area only what the texts can fill: the
// file's bytes past each record's fixed part, plus a NUL for each text.
constexpr size_t PREFAULT_MIN_BYTES = 16u << 20;
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
void prefaultAreas(ReadState& s, uint64_t rest, uint32_t count) {
    RegdRecBlock* b = s.block;
    if (b->recsBytes < PREFAULT_MIN_BYTES) return;
    uint64_t texts = rest - uint64_t{count} * REGD_MIN_NODE_BYTES + 3 * uint64_t{count} + 1;
    size_t textBytes = static_cast<size_t>(std::min<uint64_t>(texts, b->nBytes)) & ~size_t{4095};
    s.prefault = std::thread([recs = b->recs, recsBytes = b->recsBytes, bytes = b->bytes, textBytes] {
        (void)madvise(recs, recsBytes, MADV_POPULATE_WRITE);
        if (textBytes > 0) (void)madvise(bytes, textBytes, MADV_POPULATE_WRITE);
    });
}

void logCorrupt(const char* fileName) {
    if (g_verbose) writeToLog("%s is invalid or corrupt.", fileName);
}

// A length-prefixed text of `len` bytes, kept in the byte area with an
// added NUL.
bool readBytes(ReadState& s, uint32_t len, char** out) {
    if (len > s.in.remaining()) return false;  // a length past the end of the file
    if (static_cast<size_t>(len) + 1 > s.block->nBytes - s.bytesUsed) return false;
    char* p = s.block->bytes + s.bytesUsed;
    if (!s.in.read(p, len)) return false;
    p[len] = '\0';
    s.bytesUsed += static_cast<size_t>(len) + 1;
    *out = p;
    return true;
}

bool validLink(const ReadState& s, int32_t link) {
    return link == REGD_NO_LINK || (link >= 0 && static_cast<uint32_t>(link) < s.count);
}

bool readHeader(ReadState& s, const FileTypeRec& head) {
    if (s.haveHeader || head.size != REGD_HEADER_REC_BYTES) return false;
    HeaderRec h{};
    if (!s.in.u32(h.version) || !s.in.u32(h.count)) return false;
    // Each record takes at least REGD_MIN_NODE_BYTES: a larger count is a lie,
    // and nothing is allocated for it.
    uint64_t rest = s.in.remaining();
    if (h.count > rest / REGD_MIN_NODE_BYTES) return false;
    if (static_cast<uint64_t>(h.count) + g_nEntries > 0x3FFFFFFFu) return false;
    // Texts cannot take more than the rest of the file, plus a NUL for each
    // of a record's three. Pages of the areas that are never touched cost
    // no memory.
    auto* block = new (std::nothrow) RegdRecBlock{};
    if (block == nullptr) return false;
    s.block = block;
    block->nBytes = static_cast<size_t>(rest) + 3 * static_cast<size_t>(h.count) + 1;
    block->bytes = static_cast<char*>(regdBigAlloc(block->nBytes));
    block->recsBytes = static_cast<size_t>(h.count) * sizeof(RegCacheRec);
    block->recs = static_cast<RegCacheRec*>(regdBigAlloc(block->recsBytes));
    if (block->bytes == nullptr || block->recs == nullptr) {
        writeToLog("Only able to allocate %d of %d nodes.", 0, static_cast<int>(h.count));
        return false;
    }
    prefaultAreas(s, rest, h.count);
    s.haveHeader = true;
    s.version = h.version;
    s.count = h.count;
    return true;
}

bool readNode(ReadState& s) {
    if (!s.haveHeader || s.nRead >= s.count) return false;
    int32_t self = static_cast<int32_t>(s.nRead);
    RegCacheRec& rec = s.block->recs[s.nRead];
    s.nRead++;
    uint32_t kindWord = 0;
    if (!s.in.u32(kindWord)) return false;
    uint32_t kind = kindWord & REGD_KIND_MASK;
    if (kind != REGD_KIND_KEY && kind != REGD_KIND_VALUE) return false;
    rec.kind = static_cast<uint16_t>(kind);

    uint32_t len = 0;
    if (!s.in.u32(len)) return false;
    if (len > 0) {
        if (!readBytes(s, len, &rec.name)) return false;
        if (len == REGD_EMPTY_NAME_LEN && memcmp(rec.name, REGD_EMPTY_NAME, len) == 0) rec.name[0] = '\0';
        rec.nameLen = static_cast<uint32_t>(strlen(rec.name));
    }
    if (!s.in.u32(len)) return false;
    if (len > 0) {
        if (!readBytes(s, len, &rec.className)) return false;
        rec.classLen = static_cast<uint32_t>(strlen(rec.className));
    }
    if (!s.in.u32(len)) return false;
    if (len > 0) {
        char* data = nullptr;
        if (!readBytes(s, len, &data)) return false;
        rec.data = reinterpret_cast<uint8_t*>(data);
        rec.dataSize = len;
    }
    if (!s.in.u32(rec.valueType) || !s.in.u32(rec.lastWriteTime.dwLowDateTime) ||
        !s.in.u32(rec.lastWriteTime.dwHighDateTime))
        return false;
    int32_t parent = 0, firstChild = 0, next = 0, prev = 0;
    if (!s.in.i32(parent) || !s.in.i32(firstChild) || !s.in.i32(next) || !s.in.i32(prev)) return false;
    if (!validLink(s, parent) || !validLink(s, firstChild) || !validLink(s, next) || !validLink(s, prev))
        return false;

    // Users' keys live in their own files: under HKEY_USERS only ".Default"
    // is taken from this one (a parent read before it, named like that root).
    if (rec.nameLen == 8 && strcmp(rec.name, ".Default") == 0 && parent != REGD_NO_LINK && parent < self &&
        regdHandleForName(s.rec(parent).name, 0) == REGD_HKEY_USERS) {
        s.rec(parent).firstChild = asFileLink(self);
        next = REGD_NO_LINK;
        prev = REGD_NO_LINK;
    }
    rec.parent = asFileLink(parent);
    rec.firstChild = asFileLink(firstChild);
    rec.next = asFileLink(next);
    rec.prev = asFileLink(prev);
    return true;
}

// Checks that the children of `top`, followed by firstChild and next, form
// a tree whose parent and prev links agree, meeting each record once; marks
// the records met. No recursion, so no depth of file can exhaust the stack,
// and no cycle can make it loop.
bool walkChildren(ReadState& s, int32_t top) {
    int32_t par = top;
    int32_t cur = fileLink(s.rec(top).firstChild);
    int32_t prev = REGD_NO_LINK;
    for (;;) {
        if (cur != REGD_NO_LINK) {
            if (static_cast<uint32_t>(cur) >= s.nRead) return false;  // never read
            RegCacheRec& r = s.rec(cur);
            if (s.reached(cur) || fileLink(r.parent) != par || fileLink(r.prev) != prev) return false;
            r.packState = REGD_READ_REACHED;
            par = cur;
            prev = REGD_NO_LINK;
            cur = fileLink(r.firstChild);
            continue;
        }
        if (par == top) return true;
        cur = fileLink(s.rec(par).next);
        prev = par;
        par = fileLink(s.rec(par).parent);
    }
}

bool rootNameOk(const ReadState& s, int index, const RegCacheRec& rec) {
    // The old layout kept other things in the first two roots; the
    // migration renames them.
    if (s.version == REGD_DB_VERSION_OLD && index < 2) return true;
    return strcmp(rec.name != nullptr ? rec.name : "", regdRootNames[index]) == 0;
}

// Checks the records read form whole trees under the file's top records;
// what those trees do not reach (users' keys cut from HKEY_USERS, strays of
// a damaged file) is not taken.
bool checkTrees(ReadState& s) {
    uint32_t tops = s.isMain ? REGD_NUM_ROOTS : 1;
    if (s.nRead < tops) return false;
    for (uint32_t i = 0; i < tops; i++) {
        RegCacheRec& rec = s.rec(static_cast<int32_t>(i));
        if (fileLink(rec.parent) != REGD_NO_LINK || fileLink(rec.next) != REGD_NO_LINK ||
            fileLink(rec.prev) != REGD_NO_LINK)
            return false;
        if (s.isMain && (rec.kind != REGD_KIND_KEY || !rootNameOk(s, static_cast<int>(i), rec)))
            return false;
        if (s.reached(static_cast<int32_t>(i))) return false;
        rec.packState = REGD_READ_REACHED;
        if (!walkChildren(s, static_cast<int32_t>(i))) return false;
    }
    return true;
}

// Reads every record; false on any failure, or when the start-up hook
// stops the read.
bool readAll(ReadState& s) {
    while (s.in.pos != s.in.size) {
        uint32_t type = 0;
        FileTypeRec head{};
        if (!s.in.u32(type) || !s.in.u32(head.size)) return false;
        head.type = static_cast<int32_t>(type);
        if (head.type == REGD_REC_HEADER) {
            if (!readHeader(s, head)) return false;
        } else if (head.type == REGD_REC_NODE) {
            if (!readNode(s)) return false;
            if (g_startupRead && g_loadProgressHook != nullptr && !g_loadProgressHook(s.nRead)) {
                g_loadStopped = true;
                return false;
            }
        } else if (head.type != REGD_REC_SKIP) {
            writeToLog("Unknown record type %d found in registry.", head.type);
        }
    }
    return true;
}

// Hands the checked records to the cache in one step: record i takes the
// i-th free slot from the top, as if each had been created in file order,
// and the slots of records not taken go back on the stack in file order.
// Null, with the cache untouched, when the table cannot grow.
RegCacheRec* adoptTrees(ReadState& s) {
    uint32_t n = s.nRead;
    uint64_t needed = static_cast<uint64_t>(s.count) + g_nEntries;
    if (needed > g_nCacheSlots && regdReallocateCache(static_cast<int32_t>(needed - g_nCacheSlots)) == nullptr)
        return nullptr;
    if (freeCacheNode.size() < n && regdReallocateCache(static_cast<int32_t>(n - freeCacheNode.size())) == nullptr)
        return nullptr;
    // The n slots on top of the stack, record 0 taking the topmost.
    size_t stackTop = freeCacheNode.size();
    RegdRecBlock* block = s.block;
    RegCacheRec* recs = block->recs;
    auto at = [recs](const RegCacheRec* link) {
        int32_t i = fileLink(link);
        return i == REGD_NO_LINK ? nullptr : recs + i;
    };
    std::vector<uint32_t> untaken;  // slots of records no tree reached (a damaged file), in file order
    for (uint32_t i = 0; i < n; i++) {
        RegCacheRec& rec = recs[i];
        uint32_t slot = freeCacheNode[stackTop - 1 - i];
        if (rec.packState != REGD_READ_REACHED) {
            untaken.push_back(slot);
            rec.slot = REGD_NO_SLOT;
            continue;
        }
        rec.slot = slot;
        rec.hKey = regdHandleForName(rec.name, rec.slot);
        rec.packState = REGD_PACK_PENDING;
        rec.parent = at(rec.parent);
        rec.firstChild = at(rec.firstChild);
        rec.next = at(rec.next);
        rec.prev = at(rec.prev);
        regCacheTable[rec.slot] = &rec;
        block->live++;
    }
    freeCacheNode.resize(stackTop - n);
    freeCacheNode.insert(freeCacheNode.end(), untaken.begin(), untaken.end());
    g_nEntries += static_cast<uint32_t>(block->live);
    regdAdoptBlock(block);
    s.block = nullptr;  // the cache owns it now
    regdIndexRecords(recs, n);
    return &recs[0];
}

// The magic number, then every record, checked and handed to the cache:
// the file's top record, or null (logged under `label`).
RegCacheRec* readTrees(ReadState& s, const char* label) {
    uint32_t magic = 0;
    RegCacheRec* top = nullptr;
    if (!s.in.u32(magic) || magic != REGD_MAGIC) {
        if (g_verbose) writeToLog("Bad magic number in %s", label);
    } else if (readAll(s) && s.nRead > 0 && checkTrees(s)) {
        top = adoptTrees(s);
    }
    if (top == nullptr && !g_loadStopped) logCorrupt(label);
    return top;
}

void fixOnce() {
    if (registryDatabaseFixed == 0) {
        regdFixRegistryCache(g_version);
        registryDatabaseFixed = 1;
    }
}

}  // namespace

RegCacheRec* regdReadHiveBytes(std::span<const uint8_t> bytes, const char* label) {
    ReadState s{};
    s.in.memory = bytes.data();
    s.in.size = bytes.size();
    RegCacheRec* top = readTrees(s, label);
    if (top != nullptr) fixOnce();
    return top;
}

RegCacheRec* regdReadRegistryDatabase(const char* fileName, uint32_t isMain) {
    struct stat st;
    if (stat(fileName, &st) != 0) {
        if (errno != ENOENT) return nullptr;
        if (g_verbose) writeToLog("Registry file %s did not exist.", fileName);
        if (isMain == 0) return nullptr;
        return regdInitCache() ? regdSlotRecord(0) : nullptr;
    }
    if ((st.st_mode & S_IRUSR) == 0) {
        writeToLog("%s is unreadable. errno = %d", fileName, EACCES);
        return nullptr;
    }
    // Non-blocking, so that a FIFO put in the file's place cannot hang us.
    int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        writeToLog("Can't open %s. errno = %d", fileName, errno);
        return nullptr;
    }
    struct stat fst {};
    if (fstat(fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
        writeToLog("Can't open %s. errno = %d", fileName, S_ISDIR(fst.st_mode) ? EISDIR : EINVAL);
        close(fd);
        return nullptr;
    }
    if (g_verbose) writeToLog("Opened registry file: %s", fileName);

    ReadState s{};
    s.isMain = isMain;
    s.in.fd = fd;
    s.in.size = static_cast<uint64_t>(fst.st_size);
    RegCacheRec* top = readTrees(s, fileName);
    close(fd);
    if (top == nullptr) return nullptr;
    if (isMain) g_version = s.version;
    fixOnce();
    return top;
}

namespace {

// Moves the contents of the old root layout (version 10000) to where they
// belong now; nothing for any other version. Takes regdWriteMutex.
void regdFixRegistryCache(uint32_t version) {
    if (version != REGD_DB_VERSION_OLD) return;
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);

    // The old classes root held what now lives under HKLM\Software\Classes.
    RegCacheRec* oldClasses = regdSlotRecord(0);
    const RegdCaller nobody{};  // only roots are resolved here
    RegCacheRec* classes = regdFindHKey(nobody, REGD_HKEY_CLASSES_ROOT);
    if (oldClasses != nullptr && classes != nullptr && !isWithin(classes, oldClasses)) {
        moveChildren(oldClasses, classes);
        classes->kind = oldClasses->kind;
        classes->isShadow = oldClasses->isShadow;
        regdChildKindChanged(classes);
        regdFreeOwned(oldClasses, oldClasses->name);
        oldClasses->name = regdStrdupOrDie(regdRootNames[0]);
        oldClasses->nameLen = static_cast<uint32_t>(strlen(regdRootNames[0]));
        oldClasses->hKey = REGD_HKEY_CLASSES_ROOT;
        oldClasses->parent = nullptr;
        oldClasses->next = nullptr;
        oldClasses->prev = nullptr;
        regdSetDirtyFlag();
    }

    // The old current-user root held the keys of the daemon's own user.
    RegCacheRec* oldUser = regdSlotRecord(1);
    if (oldUser == nullptr || oldUser->hKey != REGD_HKEY_CURRENT_USER) return;
    RegCacheRec* users = regdFindHKey(nobody, REGD_HKEY_USERS);
    if (users == nullptr || users->firstChild == nullptr || isWithin(users, oldUser)) {
        writeToLog("Fatal: Couldn't find HKEY_USERS while fixing data.");
        return;
    }
    if (g_config.registryProg == REGD_DEFAULT_PROG) {
        while (oldUser->firstChild != nullptr) regdRegDeleteKey(oldUser->firstChild);
    } else {
        char buf[L_cuserid + 256] = {0};
        const char* login = cuserid(buf);
        if (login == nullptr || login[0] == '\0') login = getenv("USER");
        if (login == nullptr || login[0] == '\0') return;
        RegCacheRec* userKey = regdChildNamed(users, login, REGD_KIND_KEY);
        if (userKey == nullptr) {
            userKey = regdCreateNewCacheRec(nullptr, login);
            if (userKey == nullptr) return;
            userKey->kind = REGD_KIND_KEY;
            regdLinkChild(users, userKey, true);
        }
        if (isWithin(userKey, oldUser)) return;
        moveChildren(oldUser, userKey);
    }
    oldUser->parent = nullptr;
    oldUser->firstChild = nullptr;
    oldUser->next = nullptr;
    oldUser->prev = nullptr;
    regdSetDirtyFlag();
}

}  // namespace

void regdLoadUserData(const RegdCaller& caller) {
    if (_tsm_gethostid() != caller.hostId) return;
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    RegCacheRec* users = regdFindHKey(caller, REGD_HKEY_USERS);
    if (users == nullptr) {
        writeToLog("Failed to find HKEY_USERS.  Restart the registry daemon");
        return;
    }
    if (regdChildNamed(users, caller.userName, REGD_KIND_KEY) != nullptr) return;
    RegCacheRec* top = regdReadRegistryDatabase(regdUserFileName(caller.userName).c_str(), 0);
    if (top != nullptr) regdLinkChild(users, top, true);
    if (RegCacheRec* fromFile = regdChildNamed(users, caller.userName, REGD_KIND_KEY)) {
        if (fromFile == top) regdSetUserClean(top);  // just as its file has it
        return;
    }
    // Made directly rather than by path, so that a backslash in a user name
    // stays part of the one key's name.
    RegCacheRec* key = regdCreateNewCacheRec(users, caller.userName);
    if (key == nullptr) return;
    key->kind = REGD_KIND_KEY;
    regdSetDirtyFlag();
}

void regdSetLoadProgressHook(RegdLoadProgressHook hook) { g_loadProgressHook = hook; }

namespace {

// A start-up read: reports progress, and tells whether the hook stopped it.
RegCacheRec* startupRead(const char* fileName, bool* stopped) {
    g_startupRead = true;
    g_loadStopped = false;
    RegCacheRec* top = regdReadRegistryDatabase(fileName, 1);
    g_startupRead = false;
    *stopped = g_loadStopped;
    return top;
}

}  // namespace

int regdLoadRegistry(bool* mainFileUsed) {
    bool ignored;
    if (mainFileUsed == nullptr) mainFileUsed = &ignored;
    bool stopped = false;
    *mainFileUsed = startupRead(REGD_DB_FILE, &stopped) != nullptr;
    if (*mainFileUsed) return 1;
    regdDiscardCache();
    if (stopped) return REGD_LOAD_STOPPED;
    writeToLog("Failed to read the registry database.  Trying backup.");
    bool fromBackup = startupRead(REGD_DB_BACKUP_FILE, &stopped) != nullptr;
    if (fromBackup) return 1;
    regdDiscardCache();
    if (stopped) return REGD_LOAD_STOPPED;
    writeToLog("Failed to read the backup file.  Initializing.");
    return regdInitCache();
}

std::string regdUserFileName(const char* userName) {
    static const char hex[] = "0123456789ABCDEF";
    const char* name = userName != nullptr ? userName : "";
    bool isMainName = strcmp(name, "reg") == 0;
    std::string esc;
    for (const char* p = name; *p != '\0'; p++) {
        auto c = static_cast<unsigned char>(*p);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        if (plain && !(isMainName && p == name)) {
            esc += static_cast<char>(c);
        } else {
            esc += '%';
            esc += hex[c >> 4];
            esc += hex[c & 0xF];
        }
    }
    // File names stop at 255 bytes; a writer's temporary name adds 5.
    constexpr size_t maxEscaped = 200;
    constexpr size_t keptPrefix = 160;
    if (esc.size() > maxEscaped) {
        size_t cut = keptPrefix;
        // Never split a "%XX" triple.
        if (esc[cut - 1] == '%') cut -= 1;
        else if (esc[cut - 2] == '%') cut -= 2;
        uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a over the whole name
        for (const char* p = name; *p != '\0'; p++) {
            h ^= static_cast<unsigned char>(*p);
            h *= 0x100000001b3ull;
        }
        esc.resize(cut);
        esc += '~';  // escaped everywhere else, so no plain name can look like this
        for (int shift = 60; shift >= 0; shift -= 4) esc += hex[(h >> shift) & 0xF];
    }
    return "kalvo_" + esc + ".dat";
}

// ---- Writer ----

namespace {

constexpr size_t WRITE_BUFFER_BYTES = 1024 * 1024;

// A database file being written through a large buffer: the crash-safe
// file of base/ underneath replaces the target only once it is whole.
// With `memory` set, the bytes go there instead (a hive handed to a
// process that writes it with a client's permissions).
struct DbOut {
    RegdAtomicFile file;
    std::vector<uint8_t>* memory = nullptr;
    uint8_t* buf = nullptr;
    size_t used = 0;

    bool failed() const { return file.err != 0; }

    bool flush() {
        bool ok = true;
        if (memory != nullptr) memory->insert(memory->end(), buf, buf + used);
        else ok = regdAtomicWrite(file, buf, used);
        used = 0;
        return ok;
    }

    void bytes(const void* p, size_t n) {
        const auto* src = static_cast<const uint8_t*>(p);
        while (n > 0 && !failed()) {
            if (used == WRITE_BUFFER_BYTES) flush();
            size_t take = WRITE_BUFFER_BYTES - used < n ? WRITE_BUFFER_BYTES - used : n;
            memcpy(buf + used, src, take);
            used += take;
            src += take;
            n -= take;
        }
    }

    void u32(uint32_t v) {
        if (WRITE_BUFFER_BYTES - used >= 4) [[likely]] {
            putLE32(buf + used, v);
            used += 4;
            return;
        }
        uint8_t b[4];
        putLE32(b, v);
        bytes(b, sizeof b);
    }
};

// Records are written straight from the cache in two walks of the same
// depth-first order, no staging table: the first numbers each record to be
// written, the second writes it with its links. The whole write runs under
// regdWriteMutex, so nothing changes between the two.
constexpr int8_t REGD_PACK_NUMBERED = -3;  // numbered by the first walk, not yet written

void setPackStateBelow(RegCacheRec* top, int8_t state) {
    forEachFrom(top->firstChild, [state](RegCacheRec* r) { r->packState = state; });
}

// The first of `rec` and its later siblings that the first walk numbered.
int32_t firstNumbered(const RegCacheRec* rec) {
    for (; rec != nullptr; rec = rec->next)
        if (rec->packState == REGD_PACK_NUMBERED) return rec->packIndex;
    return REGD_NO_LINK;
}

void writeRecord(DbOut& out, const RegCacheRec* rec, int32_t parent, int32_t prevSibling) {
    uint32_t nameLen = rec->nameLen;
    const char* name = rec->name;
    if (name == nullptr) {
        nameLen = 0;
    } else if (nameLen == 0) {
        nameLen = REGD_EMPTY_NAME_LEN;
        name = REGD_EMPTY_NAME;
    }
    uint32_t classLen = rec->className != nullptr ? rec->classLen : 0;
    uint32_t dataLen = rec->data != nullptr ? rec->dataSize : 0;
    out.u32(static_cast<uint32_t>(REGD_REC_NODE));
    out.u32(nameLen + classLen + dataLen + REGD_NODE_SIZE_FIELD_BASE);
    out.u32(rec->kind | (rec->isShadow == 0 ? REGD_KIND_NOT_SHADOW : 0u));
    out.u32(nameLen);
    out.bytes(name, nameLen);
    out.u32(classLen);
    out.bytes(rec->className, classLen);
    out.u32(dataLen);
    out.bytes(rec->data, dataLen);
    out.u32(rec->valueType);
    out.u32(rec->lastWriteTime.dwLowDateTime);
    out.u32(rec->lastWriteTime.dwHighDateTime);
    out.u32(static_cast<uint32_t>(parent));
    out.u32(static_cast<uint32_t>(firstNumbered(rec->firstChild)));
    out.u32(static_cast<uint32_t>(rec->parent != nullptr && parent != REGD_NO_LINK ? firstNumbered(rec->next)
                                                                                   : REGD_NO_LINK));
    out.u32(static_cast<uint32_t>(prevSibling));
}

// Walks the children of `parent` and everything below them depth first,
// children in list order, without recursion (no depth of tree can exhaust
// the stack). numbering: gives each record to be written (not volatile, not
// written already) the next number from n on. Otherwise writes the records
// numbered, in that same order, each followed by its sub-tree.
void walkForWrite(RegCacheRec* parent, int32_t& n, DbOut* out) {
    bool numbering = out == nullptr;
    RegCacheRec* par = parent;
    RegCacheRec* cur = parent->firstChild;
    int32_t lastDone = REGD_NO_LINK;  // the previous sibling taken at this level
    for (;;) {
        if (cur == nullptr) {
            if (par == parent) return;
            cur = par->next;
            lastDone = par->packIndex;
            par = par->parent;
            continue;
        }
        bool take = numbering ? cur->options != REGD_OPTION_VOLATILE && cur->packState != REGD_PACK_DONE
                              : cur->packState == REGD_PACK_NUMBERED;
        if (!take) {
            cur = cur->next;
            continue;
        }
        if (numbering) {
            cur->packIndex = n++;
            cur->packState = REGD_PACK_NUMBERED;
        } else {
            cur->packState = REGD_PACK_DONE;  // before its links are found: never its own sibling
            writeRecord(*out, cur, par->packIndex, lastDone);
        }
        par = cur;
        cur = cur->firstChild;
        lastDone = REGD_NO_LINK;
    }
}

// top null: the whole registry. With `memory`, the file's bytes go there
// and no file is touched.
uint32_t writeDatabase(RegCacheRec* top, const char* fileName, uint32_t overwrite,
                       std::vector<uint8_t>* memory = nullptr) {
    struct stat st;
    bool exists = memory == nullptr && stat(fileName, &st) == 0;
    bool missing = memory == nullptr && !exists && errno == ENOENT;
    if (exists && top == nullptr && (st.st_mode & S_IWUSR) == 0) {
        if (!g_quietWrites) writeToLog("Fatal error!  Can't create %s", fileName);
        if (!g_quietWrites) writeToLog("Registry data can't be saved.");
        if (!g_quietWrites) writeToLog("%s is unwriteable", fileName);
        return REGD_WRITE_FILE_ERROR;
    }
    if (exists && top != nullptr && overwrite == 0) {
        if (!g_quietWrites) writeToLog("Registry file %s already exists.", fileName);
        return REGD_WRITE_FILE_ERROR;
    }
    if (top == nullptr) {
        for (uint32_t i = 0; i < static_cast<uint32_t>(REGD_NUM_ROOTS); i++) {
            if (regdSlotRecord(i) == nullptr) {
                if (!g_quietWrites) writeToLog("Registry data can't be saved.");
                return REGD_WRITE_FILE_ERROR;
            }
        }
    }

    DbOut out;
    out.buf = static_cast<uint8_t*>(malloc(WRITE_BUFFER_BYTES));
    if (out.buf == nullptr) {
        if (!g_quietWrites) writeToLog("Out of memory error writing %s", fileName);
        return REGD_ERROR_NOT_ENOUGH_MEMORY;
    }
    // Replacing a file we could not open for writing would defeat its
    // permissions; treat it as the open failure it would have been.
    out.memory = memory;
    bool opened = memory != nullptr ||
                  (!(exists && faccessat(AT_FDCWD, fileName, W_OK, AT_EACCESS) != 0) &&
                   regdAtomicOpen(out.file, fileName, REGD_FILE_MODE));
    if (!opened) {
        if (missing && top == nullptr && !g_quietWrites) writeToLog("Fatal error!  Can't create %s", fileName);
        else if (!missing && !g_quietWrites) writeToLog("Fatal error!  Can't open %s", fileName);
        if (!g_quietWrites) writeToLog("Registry data can't be saved.");
        free(out.buf);
        return REGD_WRITE_FILE_ERROR;
    }

    // The file's top records: the six roots, or the sub-tree's top.
    RegCacheRec* tops[REGD_NUM_ROOTS] = {top};
    int32_t nTops = 1;
    if (top == nullptr) {
        nTops = REGD_NUM_ROOTS;
        for (int32_t i = 0; i < REGD_NUM_ROOTS; i++) tops[i] = regCacheTable[i];
    } else {
        setPackStateBelow(top, REGD_PACK_PENDING);
    }
    for (int32_t i = 0; i < nTops; i++) {
        tops[i]->packIndex = i;
        tops[i]->packState = REGD_PACK_DONE;
    }
    int32_t n = nTops;
    for (int32_t i = 0; i < nTops; i++) walkForWrite(tops[i], n, nullptr);

    out.u32(REGD_MAGIC);
    out.u32(static_cast<uint32_t>(REGD_REC_HEADER));
    out.u32(REGD_HEADER_REC_BYTES);
    out.u32(REGD_DB_VERSION);
    out.u32(static_cast<uint32_t>(n));
    for (int32_t i = 0; i < nTops; i++) writeRecord(out, tops[i], REGD_NO_LINK, REGD_NO_LINK);
    for (int32_t i = 0; i < nTops; i++) walkForWrite(tops[i], n, &out);

    bool existed = false;
    if (memory != nullptr) {
        out.flush();
        free(out.buf);
        return REGD_ERROR_SUCCESS;
    }
    bool placed = out.flush() && regdAtomicCommit(out.file, top == nullptr || overwrite != 0, &existed);
    if (!placed && out.file.fd >= 0) regdAtomicAbort(out.file);
    free(out.buf);
    if (placed) return REGD_ERROR_SUCCESS;
    // Not written: in a full save the tree then goes into the main file.
    if (top != nullptr) {
        top->packState = REGD_PACK_PENDING;
        setPackStateBelow(top, REGD_PACK_PENDING);
    }
    if (existed) {
        if (!g_quietWrites) writeToLog("Registry file %s already exists.", fileName);
    } else {
        if (!g_quietWrites) writeToLog("Failed to write %s. errno = %d", fileName, out.file.err);
        if (!g_quietWrites) writeToLog("Registry data can't be saved.");
    }
    return REGD_WRITE_FILE_ERROR;
}

}  // namespace

void regdResetPackState() {
    for (uint32_t i = 0; i < g_nCacheSlots; i++)
        if (regCacheTable[i] != nullptr) regCacheTable[i]->packState = REGD_PACK_PENDING;
}

uint32_t regdWriteSubTreeDatabase(RegCacheRec* top, const char* fileName, uint32_t overwrite) {
    if (top == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    return writeDatabase(top, fileName, overwrite);
}

uint32_t regdWriteRegistryDatabase(const RegdCaller& caller, uint32_t hKey, const char* fileName,
                                   uint32_t overwrite) {
    if (hKey == 0) return writeDatabase(nullptr, fileName, overwrite);
    return regdWriteSubTreeDatabase(regdFindHKey(caller, hKey), fileName, overwrite);
}

uint32_t regdSerializeDatabase(RegCacheRec* top, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (top == nullptr) regdResetPackState();
    return writeDatabase(top, "", 1, bytes);
}

uint32_t regdLoadHive(RegCacheRec* parent, const char* fileName, const char* newName, RegCacheRec* replaced) {
    return regdAttachHive(parent, regdReadRegistryDatabase(fileName, 0), newName, replaced);
}

uint32_t regdAttachHive(RegCacheRec* parent, RegCacheRec* top, const char* newName, RegCacheRec* replaced) {
    if (top == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    // A top key saved from a root must not keep that root's handle under
    // another name.
    if (newName != nullptr) {
        regdFreeOwned(top, top->name);
        top->name = regdStrdupOrDie(newName);
        top->nameLen = static_cast<uint32_t>(strlen(newName));
        top->hKey = regdHandleForName(top->name, top->slot);
    }
    if (replaced != nullptr) regdRegDeleteKey(replaced);
    regdLinkChild(parent, top, false);
    regdReportChange(parent, REGD_NOTIFY_CHANGE_NAME);
    return REGD_ERROR_SUCCESS;
}

void regdWriteEntireRegistryDatabase() {
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    regdResetPackState();
    const RegdCaller nobody{};  // only roots are resolved here
    RegCacheRec* users = regdFindHKey(nobody, REGD_HKEY_USERS);
    g_quietWrites = g_saveFailing;
    std::vector<RegCacheRec*> unsaved;  // users whose file could not be written
    for (RegCacheRec* c = users != nullptr ? users->firstChild : nullptr; c != nullptr; c = c->next) {
        if (c->kind != REGD_KIND_KEY || strcmp(regdNameOf(c), ".Default") == 0) continue;
        if (!regdUserDirty(c)) {  // its own file holds it already: kept out of the main file too
            c->packState = REGD_PACK_DONE;
            setPackStateBelow(c, REGD_PACK_DONE);
            continue;
        }
        if (regdWriteSubTreeDatabase(c, regdUserFileName(regdNameOf(c)).c_str(), 1) != REGD_ERROR_SUCCESS)
            unsaved.push_back(c);
        regdSetUserClean(c);
    }
    regdSetAllUsersClean();
    for (RegCacheRec* c : unsaved) regdTouchUser(c);
    bool saved = regdWriteRegistryDatabase(nobody, 0, REGD_DB_FILE, 1) == REGD_ERROR_SUCCESS;
    g_quietWrites = false;
    regdResetPackState();
    // A save that failed (a full disk) keeps the count, so that the next
    // flush tries again; the log tells once when saving fails and once when
    // it works again.
    if (saved) {
        g_dirty = 0;
        if (g_saveFailing) writeToLog("The registry was saved again.");
        g_saveFailing = false;
    } else if (!g_saveFailing) {
        writeToLog("Saving the registry failed; the changes are kept and will be saved again.");
        g_saveFailing = true;
    }
}
