#include "store/regdio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
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

constexpr size_t READ_BUFFER_BYTES = 256 * 1024;

// Reads a file through a buffer, never past the size it had when opened.
struct FileReader {
    int fd = -1;
    uint64_t size = 0;
    uint64_t pos = 0;
    std::vector<uint8_t> buf = std::vector<uint8_t>(READ_BUFFER_BYTES);
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

// One key or value as the file has it: links are file indices (REGD_NO_LINK
// for none). Owns its buffers until they are handed to a cache record.
struct DecodedRec {
    uint32_t kind = 0;
    char* name = nullptr;
    char* className = nullptr;
    uint8_t* data = nullptr;
    uint32_t dataSize = 0;
    uint32_t valueType = 0;
    RegFileTime lastWriteTime{};
    int32_t parent = REGD_NO_LINK;
    int32_t firstChild = REGD_NO_LINK;
    int32_t next = REGD_NO_LINK;
    int32_t prev = REGD_NO_LINK;
    bool reached = false;  // part of a tree under one of the file's top records

    DecodedRec() = default;
    DecodedRec(const DecodedRec&) = delete;
    DecodedRec& operator=(const DecodedRec&) = delete;
    DecodedRec(DecodedRec&& o) noexcept { *this = std::move(o); }
    DecodedRec& operator=(DecodedRec&& o) noexcept {
        std::swap(kind, o.kind);
        std::swap(name, o.name);
        std::swap(className, o.className);
        std::swap(data, o.data);
        std::swap(dataSize, o.dataSize);
        std::swap(valueType, o.valueType);
        std::swap(lastWriteTime, o.lastWriteTime);
        std::swap(parent, o.parent);
        std::swap(firstChild, o.firstChild);
        std::swap(next, o.next);
        std::swap(prev, o.prev);
        std::swap(reached, o.reached);
        return *this;
    }
    ~DecodedRec() {
        free(name);
        free(className);
        free(data);
    }
};

struct ReadState {
    uint32_t isMain = 0;
    FileReader in;
    bool haveHeader = false;
    uint32_t version = 0;
    uint32_t count = 0;
    std::vector<DecodedRec> recs;
};

void logCorrupt(const char* fileName) {
    if (g_verbose) writeToLog("%s is invalid or corrupt.", fileName);
}

// A length-prefixed text of `len` bytes, kept with an added NUL.
bool readBytes(ReadState& s, uint32_t len, char** out) {
    if (len > s.in.remaining()) return false;  // a length past the end of the file
    auto* p = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
    if (p == nullptr) return false;
    *out = p;
    p[len] = '\0';
    return s.in.read(p, len);
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
    if (h.count > s.in.remaining() / REGD_MIN_NODE_BYTES) return false;
    if (static_cast<uint64_t>(h.count) + g_nEntries > 0x3FFFFFFFu) return false;
    s.recs.reserve(h.count);
    s.haveHeader = true;
    s.version = h.version;
    s.count = h.count;
    return true;
}

bool readNode(ReadState& s) {
    if (!s.haveHeader || s.recs.size() >= s.count) return false;
    DecodedRec& rec = s.recs.emplace_back();
    uint32_t kindWord = 0;
    if (!s.in.u32(kindWord)) return false;
    rec.kind = kindWord & REGD_KIND_MASK;
    if (rec.kind != REGD_KIND_KEY && rec.kind != REGD_KIND_VALUE) return false;

    uint32_t len = 0;
    if (!s.in.u32(len)) return false;
    if (len > 0) {
        if (!readBytes(s, len, &rec.name)) return false;
        if (strcmp(rec.name, REGD_EMPTY_NAME) == 0) rec.name[0] = '\0';
    }
    if (!s.in.u32(len)) return false;
    if (len > 0 && !readBytes(s, len, &rec.className)) return false;
    if (!s.in.u32(len)) return false;
    if (len > 0) {
        char* data = nullptr;
        bool ok = readBytes(s, len, &data);
        rec.data = reinterpret_cast<uint8_t*>(data);
        if (!ok) return false;
        rec.dataSize = len;
    }
    if (!s.in.u32(rec.valueType) || !s.in.u32(rec.lastWriteTime.dwLowDateTime) ||
        !s.in.u32(rec.lastWriteTime.dwHighDateTime))
        return false;
    if (!s.in.i32(rec.parent) || !s.in.i32(rec.firstChild) || !s.in.i32(rec.next) || !s.in.i32(rec.prev))
        return false;
    if (!validLink(s, rec.parent) || !validLink(s, rec.firstChild) || !validLink(s, rec.next) ||
        !validLink(s, rec.prev))
        return false;

    // Users' keys live in their own files: under HKEY_USERS only ".Default"
    // is taken from this one (a parent read before it, named like that root).
    int32_t self = static_cast<int32_t>(s.recs.size() - 1);
    if (rec.name != nullptr && strcmp(rec.name, ".Default") == 0 && rec.parent != REGD_NO_LINK &&
        rec.parent < self && regdHandleForName(s.recs[rec.parent].name, 0) == REGD_HKEY_USERS) {
        s.recs[rec.parent].firstChild = self;
        rec.next = REGD_NO_LINK;
        rec.prev = REGD_NO_LINK;
    }
    return true;
}

// Checks that the children of `top`, followed by firstChild and next, form
// a tree whose parent and prev links agree, meeting each record once; marks
// the records met. No recursion, so no depth of file can exhaust the stack,
// and no cycle can make it loop.
bool walkChildren(std::vector<DecodedRec>& recs, int32_t top) {
    int32_t par = top;
    int32_t cur = recs[top].firstChild;
    int32_t prev = REGD_NO_LINK;
    for (;;) {
        if (cur != REGD_NO_LINK) {
            if (static_cast<size_t>(cur) >= recs.size()) return false;  // never read
            DecodedRec& r = recs[cur];
            if (r.reached || r.parent != par || r.prev != prev) return false;
            r.reached = true;
            par = cur;
            prev = REGD_NO_LINK;
            cur = r.firstChild;
            continue;
        }
        if (par == top) return true;
        cur = recs[par].next;
        prev = par;
        par = recs[par].parent;
    }
}

bool rootNameOk(const ReadState& s, int index, const DecodedRec& rec) {
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
    if (s.recs.size() < tops) return false;
    for (uint32_t i = 0; i < tops; i++) {
        DecodedRec& top = s.recs[i];
        if (top.parent != REGD_NO_LINK || top.next != REGD_NO_LINK || top.prev != REGD_NO_LINK) return false;
        if (s.isMain && (top.kind != REGD_KIND_KEY || !rootNameOk(s, static_cast<int>(i), top)))
            return false;
        if (top.reached) return false;
        top.reached = true;
        if (!walkChildren(s.recs, static_cast<int32_t>(i))) return false;
    }
    return true;
}

// Reads every record; false on any failure.
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
            if (g_startupRead && g_loadProgressHook != nullptr && !g_loadProgressHook(s.recs.size())) {
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
// Null, with the cache untouched, when the table or a record cannot be had.
RegCacheRec* adoptTrees(ReadState& s) {
    size_t n = s.recs.size();
    uint64_t needed = static_cast<uint64_t>(s.count) + g_nEntries;
    if (needed > g_nCacheSlots && regdReallocateCache(static_cast<int32_t>(needed - g_nCacheSlots)) == nullptr)
        return nullptr;
    std::vector<RegCacheRec*> made(n, nullptr);
    for (size_t i = 0; i < n; i++) {
        if (!s.recs[i].reached) continue;
        made[i] = static_cast<RegCacheRec*>(calloc(1, sizeof(RegCacheRec)));
        if (made[i] == nullptr) {
            writeToLog("Only able to allocate %d of %d nodes.", static_cast<int>(i), static_cast<int>(n));
            for (RegCacheRec* r : made) free(r);
            return nullptr;
        }
    }
    auto at = [&made](int32_t link) { return link == REGD_NO_LINK ? nullptr : made[link]; };
    std::vector<uint32_t> slots(n);
    for (size_t i = 0; i < n; i++) regdFindNextFreeCacheRec(slots[i]);  // never dry: grown above
    for (size_t i = 0; i < n; i++) {
        DecodedRec& d = s.recs[i];
        if (!d.reached) {
            regdAddFreeNode(static_cast<int32_t>(slots[i]), slots[i]);
            continue;
        }
        RegCacheRec* rec = made[i];
        rec->slot = slots[i];
        rec->hKey = regdHandleForName(d.name, slots[i]);
        rec->kind = d.kind;
        rec->name = std::exchange(d.name, nullptr);
        rec->nameLen = rec->name != nullptr ? static_cast<uint32_t>(strlen(rec->name)) : 0;
        rec->className = std::exchange(d.className, nullptr);
        rec->classLen = rec->className != nullptr ? static_cast<uint32_t>(strlen(rec->className)) : 0;
        rec->data = std::exchange(d.data, nullptr);
        rec->dataSize = d.dataSize;
        rec->valueType = d.valueType;
        rec->lastWriteTime = d.lastWriteTime;
        rec->packState = REGD_PACK_PENDING;
        rec->parent = at(d.parent);
        rec->firstChild = at(d.firstChild);
        rec->next = at(d.next);
        rec->prev = at(d.prev);
        regCacheTable[slots[i]] = rec;
        g_nEntries++;
    }
    regdReserveIndex(n);
    for (RegCacheRec* rec : made)
        if (rec != nullptr && rec->firstChild != nullptr) regdIndexChildren(rec);
    return made[0];
}

}  // namespace

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
    uint32_t magic = 0;
    RegCacheRec* top = nullptr;
    if (!s.in.u32(magic) || magic != REGD_MAGIC) {
        if (g_verbose) writeToLog("Bad magic number in %s", fileName);
    } else if (readAll(s) && !s.recs.empty() && checkTrees(s)) {
        top = adoptTrees(s);
    }
    close(fd);
    if (top == nullptr) {
        if (!g_loadStopped) logCorrupt(fileName);
        return nullptr;
    }
    if (isMain) g_version = s.version;
    if (registryDatabaseFixed == 0) {
        regdFixRegistryCache(g_version);
        registryDatabaseFixed = 1;
    }
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
        free(oldClasses->name);
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
    if (regdChildNamed(users, caller.userName, REGD_KIND_KEY) != nullptr) return;
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
struct DbOut {
    RegdAtomicFile file;
    uint8_t* buf = nullptr;
    size_t used = 0;

    bool failed() const { return file.err != 0; }

    bool flush() {
        bool ok = regdAtomicWrite(file, buf, used);
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
        uint8_t b[4];
        putLE32(b, v);
        bytes(b, sizeof b);
    }
};

// The staging form of one key or value record. The whole write runs under
// regdWriteMutex, so nothing can change the records while they are staged:
// the name, class and data point into the cache record instead of being
// copied a second time.
struct PackedRec {
    uint32_t size;      // the FileTypeRec size field
    uint32_t kindWord;
    uint32_t nameLen;
    const char* name;
    uint32_t classLen;
    const char* className;
    uint32_t dataLen;
    const uint8_t* data;
    uint32_t valueType;
    RegFileTime lastWriteTime;
    int32_t parent;
    int32_t firstChild;
    int32_t prevSibling;
    int32_t nextSibling;
};

// Fills `entry` from `rec` with all links -1; returns the size field.
uint32_t regdPackFileRecord(RegCacheRec* rec, PackedRec* entry);
// Stages the children of `parent` and everything below them, depth first,
// from index n on; skips volatile keys and records already staged.
void regdPackSubTree(RegCacheRec* parent, PackedRec* table, int32_t& n);
// Adds to `count` the record `rec`, its later siblings and everything below
// them all (nothing for null).
void regdCountSubKeys(RegCacheRec* rec, uint32_t& count);

void setPackStateBelow(RegCacheRec* top, int32_t state) {
    forEachFrom(top->firstChild, [state](RegCacheRec* r) { r->packState = state; });
}

void writeRecord(DbOut& out, const PackedRec& r) {
    out.u32(static_cast<uint32_t>(REGD_REC_NODE));
    out.u32(r.size);
    out.u32(r.kindWord);
    out.u32(r.nameLen);
    out.bytes(r.name, r.nameLen);
    out.u32(r.classLen);
    out.bytes(r.className, r.classLen);
    out.u32(r.dataLen);
    out.bytes(r.data, r.dataLen);
    out.u32(r.valueType);
    out.u32(r.lastWriteTime.dwLowDateTime);
    out.u32(r.lastWriteTime.dwHighDateTime);
    out.u32(static_cast<uint32_t>(r.parent));
    out.u32(static_cast<uint32_t>(r.firstChild));
    out.u32(static_cast<uint32_t>(r.nextSibling));
    out.u32(static_cast<uint32_t>(r.prevSibling));
}

// Records a whole write will stage at most: all not yet written, and the
// six roots, which it writes whatever their state.
uint32_t wholeWriteCapacity() {
    uint32_t count = 0;
    for (uint32_t i = 0; i < g_nCacheSlots; i++) {
        RegCacheRec* rec = regCacheTable[i];
        if (rec == nullptr || rec->slot == REGD_NO_SLOT) continue;
        if (rec->packState != REGD_PACK_DONE || i < static_cast<uint32_t>(REGD_NUM_ROOTS)) count++;
    }
    return count;
}

// top null: the whole registry.
uint32_t writeDatabase(RegCacheRec* top, const char* fileName, uint32_t overwrite) {
    struct stat st;
    bool exists = stat(fileName, &st) == 0;
    bool missing = !exists && errno == ENOENT;
    if (exists && top == nullptr && (st.st_mode & S_IWUSR) == 0) {
        writeToLog("Fatal error!  Can't create %s", fileName);
        writeToLog("Registry data can't be saved.");
        writeToLog("%s is unwriteable", fileName);
        return REGD_WRITE_FILE_ERROR;
    }
    if (exists && top != nullptr && overwrite == 0) {
        writeToLog("Registry file %s already exists.", fileName);
        return REGD_WRITE_FILE_ERROR;
    }
    if (top == nullptr) {
        for (uint32_t i = 0; i < static_cast<uint32_t>(REGD_NUM_ROOTS); i++) {
            if (regdSlotRecord(i) == nullptr) {
                writeToLog("Registry data can't be saved.");
                return REGD_WRITE_FILE_ERROR;
            }
        }
    }

    uint32_t capacity = 1;
    if (top == nullptr) capacity = wholeWriteCapacity();
    else regdCountSubKeys(top->firstChild, capacity);
    auto* table = static_cast<PackedRec*>(calloc(capacity, sizeof(PackedRec)));
    DbOut out;
    out.buf = static_cast<uint8_t*>(malloc(WRITE_BUFFER_BYTES));
    if (table == nullptr || out.buf == nullptr) {
        writeToLog("Out of memory error writing %s", fileName);
        free(table);
        free(out.buf);
        return REGD_ERROR_NOT_ENOUGH_MEMORY;
    }
    // Replacing a file we could not open for writing would defeat its
    // permissions; treat it as the open failure it would have been.
    bool opened = !(exists && faccessat(AT_FDCWD, fileName, W_OK, AT_EACCESS) != 0) && regdAtomicOpen(out.file, fileName, REGD_FILE_MODE);
    if (!opened) {
        if (missing && top == nullptr) writeToLog("Fatal error!  Can't create %s", fileName);
        else if (!missing) writeToLog("Fatal error!  Can't open %s", fileName);
        writeToLog("Registry data can't be saved.");
        free(table);
        free(out.buf);
        return REGD_WRITE_FILE_ERROR;
    }

    int32_t n = 0;
    if (top == nullptr) {
        for (int32_t i = 0; i < REGD_NUM_ROOTS; i++) {
            RegCacheRec* root = regCacheTable[i];
            root->packIndex = i;
            root->packState = REGD_PACK_DONE;
            regdPackFileRecord(root, &table[i]);
        }
        n = REGD_NUM_ROOTS;
        for (int32_t i = 0; i < REGD_NUM_ROOTS; i++) regdPackSubTree(regCacheTable[i], table, n);
    } else {
        setPackStateBelow(top, REGD_PACK_PENDING);
        top->packIndex = 0;
        top->packState = REGD_PACK_DONE;
        regdPackFileRecord(top, &table[0]);
        n = 1;
        regdPackSubTree(top, table, n);
    }

    out.u32(REGD_MAGIC);
    out.u32(static_cast<uint32_t>(REGD_REC_HEADER));
    out.u32(REGD_HEADER_REC_BYTES);
    out.u32(REGD_DB_VERSION);
    out.u32(static_cast<uint32_t>(n));
    for (int32_t i = 0; i < n; i++) writeRecord(out, table[i]);
    free(table);

    bool existed = false;
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
        writeToLog("Registry file %s already exists.", fileName);
    } else {
        writeToLog("Failed to write %s. errno = %d", fileName, out.file.err);
        writeToLog("Registry data can't be saved.");
    }
    return REGD_WRITE_FILE_ERROR;
}

uint32_t regdPackFileRecord(RegCacheRec* rec, PackedRec* entry) {
    *entry = PackedRec{};
    entry->kindWord = rec->kind | (rec->isShadow == 0 ? REGD_KIND_NOT_SHADOW : 0u);
    if (rec->name == nullptr) {
        entry->nameLen = 0;
        entry->name = nullptr;
    } else if (rec->nameLen == 0) {
        entry->nameLen = REGD_EMPTY_NAME_LEN;
        entry->name = REGD_EMPTY_NAME;
    } else {
        entry->nameLen = rec->nameLen;
        entry->name = rec->name;
    }
    entry->classLen = rec->className != nullptr ? rec->classLen : 0;
    entry->className = rec->className;
    entry->dataLen = rec->data != nullptr ? rec->dataSize : 0;
    entry->data = rec->data;
    entry->valueType = rec->valueType;
    entry->lastWriteTime = rec->lastWriteTime;
    entry->parent = REGD_NO_LINK;
    entry->firstChild = REGD_NO_LINK;
    entry->prevSibling = REGD_NO_LINK;
    entry->nextSibling = REGD_NO_LINK;
    entry->size = entry->nameLen + entry->classLen + entry->dataLen + REGD_NODE_SIZE_FIELD_BASE;
    return entry->size;
}

// Depth-first pre-order without recursion: going down into a staged child
// and coming back up through its parent link, the way a recursive walk
// would, so that no depth of tree can exhaust the stack.
void regdPackSubTree(RegCacheRec* parent, PackedRec* table, int32_t& n) {
    RegCacheRec* par = parent;
    RegCacheRec* cur = parent->firstChild;
    int32_t lastStaged = REGD_NO_LINK;
    for (;;) {
        if (cur == nullptr) {
            if (par == parent) return;
            cur = par->next;
            lastStaged = par->packIndex;
            par = par->parent;
            continue;
        }
        if (cur->options == REGD_OPTION_VOLATILE || cur->packState == REGD_PACK_DONE) {
            cur = cur->next;
            continue;
        }
        cur->packIndex = n;
        regdPackFileRecord(cur, &table[n]);
        cur->packState = REGD_PACK_DONE;
        table[n].parent = par->packIndex;
        if (lastStaged == REGD_NO_LINK) {
            table[par->packIndex].firstChild = n;
        } else {
            table[lastStaged].nextSibling = n;
            table[n].prevSibling = lastStaged;
        }
        n++;
        par = cur;
        cur = cur->firstChild;
        lastStaged = REGD_NO_LINK;
    }
}

void regdCountSubKeys(RegCacheRec* rec, uint32_t& count) {
    forEachFrom(rec, [&count](RegCacheRec*) { count++; });
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

uint32_t regdLoadHive(RegCacheRec* parent, const char* fileName, const char* newName, RegCacheRec* replaced) {
    RegCacheRec* top = regdReadRegistryDatabase(fileName, 0);
    if (top == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    // A top key saved from a root must not keep that root's handle under
    // another name.
    if (newName != nullptr) {
        free(top->name);
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
    for (RegCacheRec* c = users != nullptr ? users->firstChild : nullptr; c != nullptr; c = c->next) {
        if (c->kind != REGD_KIND_KEY || strcmp(regdNameOf(c), ".Default") == 0) continue;
        regdWriteSubTreeDatabase(c, regdUserFileName(regdNameOf(c)).c_str(), 1);
    }
    regdWriteRegistryDatabase(nobody, 0, REGD_DB_FILE, 1);
    regdResetPackState();
    g_dirty = 0;
}
