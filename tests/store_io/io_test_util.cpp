#include "io_test_util.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "store/regdio.h"

namespace iotest {

RegdCaller testCaller{};

void setCaller(const char* user, uint32_t hostId) {
    snprintf(testCaller.userName, sizeof testCaller.userName, "%s", user);
    testCaller.hostId = hostId != 0 ? hostId : _tsm_gethostid();
}

Bytes& Bytes::u32(uint32_t v) {
    for (int i = 0; i < 4; i++) b += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
}

Bytes& Bytes::node(uint32_t kindWord, const std::string& name, const std::string& cls, const std::string& data,
                   uint32_t type, int32_t parent, int32_t firstChild, int32_t next, int32_t prev) {
    u32(3).u32(static_cast<uint32_t>(name.size() + cls.size() + data.size() + 40));
    u32(kindWord).u32(static_cast<uint32_t>(name.size())).raw(name);
    u32(static_cast<uint32_t>(cls.size())).raw(cls);
    u32(static_cast<uint32_t>(data.size())).raw(data);
    u32(type).u32(0).u32(0);  // no write time
    return i32(parent).i32(firstChild).i32(next).i32(prev);
}

Bytes& Bytes::roots(std::initializer_list<int32_t> firstChildren) {
    int i = 0;
    for (int32_t child : firstChildren) key(regdRootNames[i++], -1, child, -1, -1);
    return *this;
}

std::string appHiveByHand() {
    Bytes f = Bytes().magic().header(4);
    f.node(KEY, "App", "cls", "", 0, -1, 1, -1, -1);
    f.node(KEY, "Sub", "", "", 0, 0, -1, 2, -1);
    f.node(KEY | 1, "N", "", std::string("\x2A\0\0\0", 4), 4, 0, -1, 3, 1);
    f.node(KEY | 1, "+regdEmpty+", "", std::string("hi\0", 3), 1, 0, -1, -1, 2);
    return f.b;
}

void IoTest::SetUp() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    char tmpl[] = "/tmp/kalvo_io_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    regdResetLogForTest();
    regdDiscardCache();
    g_maxKeyDepth = REGD_MAX_KEY_DEPTH;
    g_maxDeletedHandles = REGD_MAX_DELETED_HANDLES;
    g_version = 0;
    registryDatabaseFixed = 0;
    g_verbose = 1;
    regdStartupConfig().keepBackup = 1;
    testCaller = RegdCaller{};
}

void IoTest::TearDown() {
    regdDiscardCache();
    regdResetLogForTest();
    g_verbose = 0;
    if (!oldCwd_.empty()) (void)chdir(oldCwd_.c_str());
    std::error_code ec;
    if (!dir_.empty()) {
        // Undo any permission games so the directory can go.
        for (auto& e : std::filesystem::recursive_directory_iterator(dir_, ec))
            chmod(e.path().c_str(), 0700);
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string logText() { return readFile(REGD_LOG_FILE); }

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

uint32_t liveSlots() {
    uint32_t live = 0;
    for (uint32_t i = 0; i < g_nCacheSlots; i++) live += regCacheTable[i] != nullptr;
    return live;
}

uint32_t mkKey(uint32_t parent, const char* path, const char* cls, uint32_t options) {
    uint32_t h = 0;
    if (regdInsertKey(testCaller, parent, path, 0, cls, options, 0, nullptr, &h, nullptr, 0) != 0) return 0;
    return h;
}

uint32_t setValue(uint32_t key, const char* name, uint32_t type, const std::string& data) {
    return regdRegSetValue(testCaller, key, name, 0, type, reinterpret_cast<const uint8_t*>(data.data()),
                           static_cast<uint32_t>(data.size()), 0);
}

RegCacheRec* rec(uint32_t handle, const char* path, uint32_t kind) {
    RegCacheRec* start = regdFindHKey(testCaller, handle);
    if (start == nullptr || path == nullptr) return start;
    return regdFindSubKey(start, path, kind);
}

std::vector<std::string> childNames(const RegCacheRec* key) {
    std::vector<std::string> names;
    for (const RegCacheRec* c = key->firstChild; c != nullptr; c = c->next)
        names.push_back(c->name != nullptr ? c->name : "<null>");
    return names;
}

namespace {

std::string describeRec(const RegCacheRec* r) {
    std::ostringstream s;
    s << r->kind << ":" << (r->name != nullptr ? r->name : "<null>") << "/" << r->nameLen;
    if (r->className != nullptr) s << " class=" << r->className << "/" << r->classLen;
    s << " type=" << r->valueType << " data=";
    for (uint32_t i = 0; i < r->dataSize; i++) s << std::hex << static_cast<int>(r->data[i]) << std::dec << ",";
    s << " time=" << r->lastWriteTime.dwLowDateTime << "." << r->lastWriteTime.dwHighDateTime;
    if (r->hKey >= 0x80000000u) s << " root=" << std::hex << r->hKey << std::dec;
    return s.str();
}

void describeInto(const RegCacheRec* r, int depth, std::ostringstream& s) {
    s << std::string(static_cast<size_t>(depth) * 2, ' ') << describeRec(r) << "\n";
    for (const RegCacheRec* c = r->firstChild; c != nullptr; c = c->next) {
        EXPECT_EQ(c->parent, r);
        describeInto(c, depth + 1, s);
    }
}

}  // namespace

std::string describeTree(const RegCacheRec* top) {
    std::ostringstream s;
    describeInto(top, 0, s);
    return s.str();
}

CacheSnapshot CacheSnapshot::take() {
    CacheSnapshot snap;
    snap.nEntries = g_nEntries;
    snap.nSlots = g_nCacheSlots;
    for (uint32_t i = 0; i < g_nCacheSlots; i++) {
        const RegCacheRec* r = regCacheTable[i];
        if (r == nullptr) {
            snap.slots.push_back("");
            continue;
        }
        std::ostringstream s;
        s << static_cast<const void*>(r) << " " << r->hKey << " " << r->slot << " " << describeRec(r) << " p"
          << static_cast<const void*>(r->parent) << " c" << static_cast<const void*>(r->firstChild) << " n"
          << static_cast<const void*>(r->next) << " v" << static_cast<const void*>(r->prev);
        snap.slots.push_back(s.str());
    }
    snap.freeSlots = freeCacheNode;
    std::sort(snap.freeSlots.begin(), snap.freeSlots.end());
    return snap;
}

}  // namespace iotest
