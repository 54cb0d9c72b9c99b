#include "store/regdcache.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <unordered_map>
#include <unordered_set>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "store/cache_internal.h"

RegCacheRec** regCacheTable = nullptr;
uint32_t g_nCacheSlots = 0;
uint32_t g_nEntries = 0;
std::vector<uint32_t> freeCacheNode;
std::deque<uint32_t> deletedNodeList;
size_t g_maxDeletedHandles = REGD_MAX_DELETED_HANDLES;
size_t g_maxKeyDepth = REGD_MAX_KEY_DEPTH;
uint32_t g_enumShortWalk = REGD_ENUM_SHORT_WALK;
RegdChangeHook g_regdChangeHook = nullptr;
std::shared_mutex regdWriteMutex;
std::atomic<uint32_t> g_dirty{0};

RegdSubKeyCreator g_regdSubKeyCreator = regdCreateSubKeyDirect;

const char* const regdRootNames[REGD_NUM_ROOTS] = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE",
    "HKEY_USERS",        "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

namespace {

// The blocks whose records are in the cache, by the address of their
// record array: one per file read, so a short list.
std::vector<RegdRecBlock*> g_blocks;

bool addressBefore(const void* a, const void* b) { return std::less<const void*>()(a, b); }

RegdRecBlock* blockOf(const RegCacheRec* rec) {
    if (g_blocks.empty()) return nullptr;
    auto it = std::upper_bound(g_blocks.begin(), g_blocks.end(), static_cast<const void*>(rec),
                               [](const void* p, const RegdRecBlock* b) { return addressBefore(p, b->recs); });
    if (it == g_blocks.begin()) return nullptr;
    RegdRecBlock* b = *--it;
    return addressBefore(rec, b->recs + b->recsBytes / sizeof(RegCacheRec)) ? b : nullptr;
}

void freeUnlessIn(const RegdRecBlock* b, void* p) {
    auto* c = static_cast<char*>(p);
    if (b != nullptr && c >= b->bytes && c < b->bytes + b->nBytes) return;
    free(p);
}

}  // namespace

void regdAdoptBlock(RegdRecBlock* b) {
    auto it = std::upper_bound(g_blocks.begin(), g_blocks.end(), b, [](const RegdRecBlock* x, const RegdRecBlock* y) {
        return addressBefore(x->recs, y->recs);
    });
    g_blocks.insert(it, b);
}

void regdFreeOwned(const RegCacheRec* rec, void* p) {
    if (p != nullptr) freeUnlessIn(blockOf(rec), p);
}

void regdFreeRecord(RegCacheRec* rec) {
    RegdRecBlock* b = blockOf(rec);
    if (b == nullptr) {
        free(rec);
        return;
    }
    if (--b->live > 0) return;
    regdFreeBlock(b);
}

namespace {
constexpr size_t HUGE_PAGE_BYTES = 2u << 20;
size_t bigMapBytes(size_t bytes) { return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1); }
}  // namespace

void* regdBigAlloc(size_t bytes) {
    if (bytes < 2 * HUGE_PAGE_BYTES) return calloc(1, bytes != 0 ? bytes : 1);
    size_t size = bigMapBytes(bytes);
    // Mapped one huge page larger, then trimmed to a huge-page boundary.
    void* raw = mmap(nullptr, size + HUGE_PAGE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (aligned > start) munmap(raw, aligned - start);
    size_t tail = HUGE_PAGE_BYTES - (aligned - start);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
    (void)madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

// Asks for huge pages under a large heap area (the slot table, the free-slot
// stack): filling one of several megabytes then costs a few faults instead
// of one per 4 KiB.
void regdAdviseHugePages(void* p, size_t bytes) {
    if (bytes < 2 * HUGE_PAGE_BYTES) return;
    auto start = reinterpret_cast<uintptr_t>(p);
    uintptr_t from = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    uintptr_t to = (start + bytes) & ~(HUGE_PAGE_BYTES - 1);
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void regdBigFree(void* p, size_t bytes) {
    if (p == nullptr) return;
    if (bytes < 2 * HUGE_PAGE_BYTES) {
        free(p);
        return;
    }
    munmap(p, bigMapBytes(bytes));
}

void regdFreeBlock(RegdRecBlock* b) {
    if (b == nullptr) return;
    auto it = std::find(g_blocks.begin(), g_blocks.end(), b);
    if (it != g_blocks.end()) g_blocks.erase(it);
    regdBigFree(b->recs, b->recsBytes);
    regdBigFree(b->bytes, b->nBytes);
    delete b;
}

void regdFreeRecordContents(RegCacheRec* rec) {
    const RegdRecBlock* b = blockOf(rec);
    freeUnlessIn(b, rec->name);
    freeUnlessIn(b, rec->className);
    freeUnlessIn(b, rec->data);
    rec->name = nullptr;
    rec->className = nullptr;
    rec->data = nullptr;
}

void regdSetChangeHook(RegdChangeHook hook) { g_regdChangeHook = hook; }

namespace {

// Slot numbers stay below the predefined handles so the two never meet.
constexpr uint64_t REGD_MAX_SLOTS = 0x7FFFFFFFu;

// The roots' handles, in slot order.
constexpr uint32_t rootHandles[REGD_NUM_ROOTS] = {
    REGD_HKEY_CLASSES_ROOT, REGD_HKEY_CURRENT_USER,   REGD_HKEY_LOCAL_MACHINE,
    REGD_HKEY_USERS,        REGD_HKEY_CURRENT_CONFIG, REGD_HKEY_DYN_DATA,
};

bool isRootHandle(uint32_t h) {
    return std::find(std::begin(rootHandles), std::end(rootHandles), h) != std::end(rootHandles);
}

// Each byte as names are compared: signed char through tolower, looked up
// rather than called for every byte of every name hashed or compared.
struct FoldTable {
    uint8_t to[256];
    FoldTable() {
        for (int b = 0; b < 256; b++) to[b] = static_cast<uint8_t>(tolower(static_cast<signed char>(b)));
    }
};
const FoldTable g_fold;

// Case-insensitive equality of a record name with a path segment of `len`
// bytes: the comparison of _tsm_strcasecmp, without copying the segment.
// Lookups walk whole child lists, so the cheap tests come first: the length
// (lower-casing maps byte to byte), then equal bytes without the table.
bool nameEqualsSegment(const RegCacheRec* rec, const char* seg, size_t len) {
    if (rec->nameLen != len) return false;
    const char* name = rec->name != nullptr ? rec->name : "";
    for (size_t i = 0; i < len; i++) {
        if (name[i] == seg[i]) continue;
        if (name[i] == '\0') return false;
        if (g_fold.to[static_cast<uint8_t>(name[i])] != g_fold.to[static_cast<uint8_t>(seg[i])]) return false;
    }
    return name[len] == '\0';
}

// ---- Child index ----
// One open-addressed table over every linked record, keyed by its parent
// and its case-folded name, so that a lookup by name costs the same
// whatever the fan-out. Duplicate names (a key and its shadow value, or
// twins a restore brought in) all sit in the table; the one earliest in
// the sibling list, by order number, is the one the list walk would find.
// Its storage comes from regdBigAlloc: at a million records it is large.
struct IndexTable {
    RegCacheRec** at = nullptr;
    size_t n = 0;  // 0 or a power of two
    size_t size() const { return n; }
    bool empty() const { return n == 0; }
    RegCacheRec*& operator[](size_t i) { return at[i]; }
    // Empty slots, or none at all for size 0.
    void reset(size_t size) {
        regdBigFree(at, n * sizeof(RegCacheRec*));
        at = nullptr;
        n = 0;
        if (size == 0) return;
        at = static_cast<RegCacheRec**>(regdBigAlloc(size * sizeof(RegCacheRec*)));
        if (at == nullptr) regdOutOfMemory();
        n = size;
    }
};
IndexTable g_index;  // null: empty slot
size_t g_indexUsed = 0;

size_t foldHash(const RegCacheRec* parent, const char* name, size_t len) {
    uint64_t h = 1469598103934665603ull ^ (reinterpret_cast<uintptr_t>(parent) * 0x9E3779B97F4A7C15ull);
    for (size_t i = 0; i < len; i++) {
        h ^= g_fold.to[static_cast<uint8_t>(name[i])];
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h ^ (h >> 32));
}

size_t homeOf(const RegCacheRec* rec) {
    return foldHash(rec->parent, regdNameOf(rec), rec->nameLen) & (g_index.size() - 1);
}

void indexPlace(RegCacheRec* rec) {
    size_t mask = g_index.size() - 1;
    size_t i = homeOf(rec);
    while (g_index[i] != nullptr) i = (i + 1) & mask;
    g_index[i] = rec;
}

// Keeps the table at most half full.
void indexGrowFor(size_t used) {
    if (used * 2 <= g_index.size()) return;
    size_t size = g_index.empty() ? 1024 : g_index.size();
    while (used * 2 > size) size *= 2;
    IndexTable old;
    std::swap(old, g_index);
    g_index.reset(size);
    for (size_t i = 0; i < old.size(); i++)
        if (old[i] != nullptr) indexPlace(old[i]);
    old.reset(0);
}

void indexInsert(RegCacheRec* rec) {
    indexGrowFor(g_indexUsed + 1);
    indexPlace(rec);
    g_indexUsed++;
}

// Removes `rec` (still carrying its parent) and closes the gap behind it.
void indexErase(const RegCacheRec* rec) {
    if (g_index.empty()) return;
    size_t mask = g_index.size() - 1;
    size_t i = homeOf(rec);
    while (g_index[i] != rec) {
        if (g_index[i] == nullptr) return;
        i = (i + 1) & mask;
    }
    g_index[i] = nullptr;
    g_indexUsed--;
    for (size_t k = (i + 1) & mask; g_index[k] != nullptr; k = (k + 1) & mask) {
        size_t home = homeOf(g_index[k]);
        if (((k - home) & mask) >= ((k - i) & mask)) {  // may move back into the gap
            g_index[i] = g_index[k];
            g_index[k] = nullptr;
            i = k;
        }
    }
}

// The child of `parent` named like the segment (case-insensitively) that
// `want` accepts and that comes first in the sibling list.
template <typename Pred>
RegCacheRec* indexFind(const RegCacheRec* parent, const char* seg, size_t len, Pred want) {
    if (parent == nullptr || parent->firstChild == nullptr || g_index.empty()) return nullptr;
    size_t mask = g_index.size() - 1;
    RegCacheRec* best = nullptr;
    for (size_t i = foldHash(parent, seg, len) & mask; g_index[i] != nullptr; i = (i + 1) & mask) {
        RegCacheRec* c = g_index[i];
        if (c->parent == parent && (best == nullptr || c->order < best->order) && nameEqualsSegment(c, seg, len) &&
            want(c))
            best = c;
    }
    return best;
}

bool isEnumKey(const RegCacheRec* c) { return c->kind == REGD_KIND_KEY; }
bool isEnumValue(const RegCacheRec* c) { return c->kind == REGD_KIND_VALUE && c->isShadow == 0; }

// A key's children in list order, with a count tree per kind, so that the
// i-th sub-key or value is found in O(log n) and a child linked or unlinked
// costs the same: enumerating while creating or deleting stays linear.
// Positions hold the children in list order with room at both ends (links
// happen only at the head or the tail); each position keeps the order
// number of its child (kept for a hole too), so the numbers rise with the
// position and a child's position is found by binary search.
struct ChildOrder {
    std::vector<RegCacheRec*> at;  // null: a hole or unused room
    std::vector<int32_t> orderAt;  // INT32_MIN / INT32_MAX in the unused room
    std::vector<uint32_t> keyTree, valueTree;  // Fenwick trees over the positions (1-based)
    size_t head = 0, tail = 0;  // used positions: [head, tail)
    uint32_t nKeys = 0, nValues = 0, live = 0;

    static void add(std::vector<uint32_t>& tree, size_t pos, int32_t delta) {
        for (size_t i = pos + 1; i < tree.size(); i += i & (~i + 1)) tree[i] += static_cast<uint32_t>(delta);
    }

    // Position of the k-th (from 0) counted child; the caller checks k < count.
    static size_t select(const std::vector<uint32_t>& tree, uint32_t k) {
        size_t n = tree.size() - 1;
        size_t pos = 0;
        uint32_t rem = k + 1;
        size_t step = 1;
        while (step * 2 <= n) step *= 2;
        for (; step > 0; step /= 2) {
            if (pos + step <= n && tree[pos + step] < rem) {
                pos += step;
                rem -= tree[pos];
            }
        }
        return pos;
    }

    void count(const RegCacheRec* c, size_t pos, int32_t delta) {
        live += static_cast<uint32_t>(delta);
        if (isEnumKey(c)) {
            add(keyTree, pos, delta);
            nKeys += static_cast<uint32_t>(delta);
        } else if (isEnumValue(c)) {
            add(valueTree, pos, delta);
            nValues += static_cast<uint32_t>(delta);
        }
    }

    // From the list itself, with room for a quarter more at each end.
    void build(const RegCacheRec* parent) {
        size_t n = 0;
        for (const RegCacheRec* c = parent->firstChild; c != nullptr; c = c->next) n++;
        size_t room = n / 4 + 16;
        size_t size = n + 2 * room;
        at.assign(size, nullptr);
        orderAt.assign(size, INT32_MIN);
        std::fill(orderAt.begin() + static_cast<ptrdiff_t>(room + n), orderAt.end(), INT32_MAX);
        keyTree.assign(size + 1, 0);
        valueTree.assign(size + 1, 0);
        head = room;
        tail = room + n;
        live = static_cast<uint32_t>(n);
        nKeys = nValues = 0;
        size_t pos = room;
        for (RegCacheRec* c = parent->firstChild; c != nullptr; c = c->next, pos++) {
            at[pos] = c;
            orderAt[pos] = c->order;
            if (isEnumKey(c)) {
                keyTree[pos + 1] = 1;
                nKeys++;
            } else if (isEnumValue(c)) {
                valueTree[pos + 1] = 1;
                nValues++;
            }
        }
        for (std::vector<uint32_t>* tree : {&keyTree, &valueTree})  // the Fenwick sums, in one pass
            for (size_t i = 1; i <= size; i++) {
                size_t up = i + (i & (~i + 1));
                if (up <= size) (*tree)[up] += (*tree)[i];
            }
    }

    // False when there is no room left (or the child is not where its order
    // says): the caller builds it again from the list.
    bool linked(RegCacheRec* c, bool atTail) {
        size_t pos = 0;
        if (atTail) {
            if (tail == at.size() || (tail > head && orderAt[tail - 1] >= c->order)) return false;
            pos = tail++;
        } else {
            if (head == 0 || (tail > head && orderAt[head] <= c->order)) return false;
            pos = --head;
        }
        at[pos] = c;
        orderAt[pos] = c->order;
        count(c, pos, 1);
        return true;
    }

    bool unlinked(const RegCacheRec* c) {
        auto it = std::lower_bound(orderAt.begin() + static_cast<ptrdiff_t>(head),
                                   orderAt.begin() + static_cast<ptrdiff_t>(tail), c->order);
        size_t pos = static_cast<size_t>(it - orderAt.begin());
        if (pos >= tail || at[pos] != c) return false;
        at[pos] = nullptr;
        count(c, pos, -1);
        // The ends stay on live children, so a new head or tail child's
        // order fits beside them.
        while (head < tail && at[head] == nullptr) head++;
        while (tail > head && at[tail - 1] == nullptr) tail--;
        return true;
    }

    // Mostly holes: cheaper to build again than to keep.
    bool sparse() const { return tail - head > 2 * static_cast<size_t>(live) + 64; }

    RegCacheRec* nth(uint32_t index, bool values) const {
        if (index >= (values ? nValues : nKeys)) return nullptr;
        return at[select(values ? valueTree : keyTree, index)];
    }
};

// What reads fill in for a key: an enumeration cursor per kind (the last
// index asked and its record, so that enumerating every index walks the
// list once), the counts of query-info, and the children in order once an
// index was asked that the cursor does not reach in a short walk. Readers
// share regdWriteMutex, so this has a lock of its own; a child linked or
// unlinked drops the cursors and updates the order and the counts.
struct ChildView {
    uint32_t keyIndex = 0;
    RegCacheRec* keyAt = nullptr;
    uint32_t valueIndex = 0;
    RegCacheRec* valueAt = nullptr;
    bool countsValid = false;
    RegKeyCounts counts{};
    std::unique_ptr<ChildOrder> order;
};
std::mutex g_viewMutex;
std::unordered_map<const RegCacheRec*, ChildView> g_views;
constexpr size_t REGD_MAX_VIEWS = 4096;  // a bound on what reads can pile up

// A change of `key`'s children or of their sizes: cursors and counts go.
void forgetView(const RegCacheRec* key) {
    if (key == nullptr) return;
    std::lock_guard<std::mutex> lock(g_viewMutex);
    if (g_views.empty()) return;
    auto it = g_views.find(key);
    if (it == g_views.end()) return;
    if (it->second.order == nullptr) {
        g_views.erase(it);
        return;
    }
    ChildView& v = it->second;
    v.keyAt = v.valueAt = nullptr;
    v.keyIndex = v.valueIndex = 0;
    v.countsValid = false;
}

// `key` itself goes (or its children's kinds changed): all of its view.
void dropView(const RegCacheRec* key) {
    std::lock_guard<std::mutex> lock(g_viewMutex);
    if (!g_views.empty()) g_views.erase(key);
}

// Keeps the counts of a key whose child came or went; a child that held a
// maximum going has them counted again at the next ask.
void countChild(ChildView& v, const RegCacheRec* c, bool linked) {
    RegKeyCounts& k = v.counts;
    if (isEnumKey(c)) {
        bool hasClass = c->className != nullptr;
        if (linked) {
            k.cSubKeys++;
            k.cbMaxSubKeyLen = std::max(k.cbMaxSubKeyLen, c->nameLen);
            if (hasClass) k.cbMaxClassLen = std::max(k.cbMaxClassLen, c->classLen);
        } else if (c->nameLen == k.cbMaxSubKeyLen || (hasClass && c->classLen == k.cbMaxClassLen)) {
            v.countsValid = false;
        } else {
            k.cSubKeys--;
        }
    } else if (isEnumValue(c)) {
        if (linked) {
            k.cValues++;
            k.cbMaxValueNameLen = std::max(k.cbMaxValueNameLen, c->nameLen);
            k.cbMaxValueLen = std::max(k.cbMaxValueLen, c->dataSize);
        } else if (c->nameLen == k.cbMaxValueNameLen || c->dataSize == k.cbMaxValueLen) {
            v.countsValid = false;
        } else {
            k.cValues--;
        }
    }
}

// `child` was just linked under or unlinked from `parent`.
void childMoved(RegCacheRec* parent, RegCacheRec* child, bool linked, bool atTail) {
    std::lock_guard<std::mutex> lock(g_viewMutex);
    if (g_views.empty()) return;
    auto it = g_views.find(parent);
    if (it == g_views.end()) return;
    ChildView& v = it->second;
    v.keyAt = v.valueAt = nullptr;
    v.keyIndex = v.valueIndex = 0;
    if (v.countsValid) countChild(v, child, linked);
    if (v.order == nullptr) return;
    bool kept = linked ? v.order->linked(child, atTail) : v.order->unlinked(child);
    if (!kept || v.order->sparse()) v.order->build(parent);
}

ChildView& viewOf(const RegCacheRec* key) {
    if (g_views.size() >= REGD_MAX_VIEWS && g_views.find(key) == g_views.end()) g_views.clear();
    return g_views[key];
}

std::unordered_set<const RegCacheRec*> g_dirtyUsers;
bool g_allUsersDirty = false;

// Limits of names, with Win32's: a key name component and a value name.
constexpr size_t REGD_MAX_KEY_COMPONENT = 255;
constexpr size_t REGD_MAX_VALUE_NAME = 16383;

size_t depthOf(const RegCacheRec* rec) {
    size_t d = 0;
    for (const RegCacheRec* r = rec->parent; r != nullptr; r = r->parent) d++;
    return d;
}

// First record in slot order carrying the predefined handle h.
RegCacheRec* findRootRecord(uint32_t h) {
    for (uint32_t i = 0; i < g_nCacheSlots; i++) {
        RegCacheRec* rec = regCacheTable[i];
        if (rec != nullptr && rec->hKey == h) return rec;
    }
    return nullptr;
}

// First key (kind 0) child of `parent` whose name matches the segment.
RegCacheRec* findKeyChild(const RegCacheRec* parent, const char* seg, size_t len) {
    return indexFind(parent, seg, len, [](const RegCacheRec* c) { return c->kind == REGD_KIND_KEY; });
}

void unlinkRec(RegCacheRec* rec) { regdUnlinkChild(rec); }

// Frees an unlinked record and hands its slot out next.
void releaseRec(RegCacheRec* rec) {
    uint32_t slot = rec->slot;
    dropView(rec);
    if (!g_dirtyUsers.empty()) g_dirtyUsers.erase(rec);
    regdFreeRecordContents(rec);
    if (slot < g_nCacheSlots && regCacheTable[slot] == rec) {
        regCacheTable[slot] = nullptr;
        regdAddFreeNode(static_cast<int32_t>(slot), slot);
    }
    if (g_nEntries > 0) g_nEntries--;
    regdFreeRecord(rec);
}

// The index-th child of `key` that is a sub-key (or, for values, a value
// that is no shadow): the next index from the key's cursor, or one near the
// head, is a short walk; anything else is answered from the key's children
// in order, listed once and then kept up to date.
RegCacheRec* nthChild(const RegCacheRec* key, uint32_t index, bool values) {
    auto want = values ? isEnumValue : isEnumKey;
    std::lock_guard<std::mutex> lock(g_viewMutex);
    ChildView& view = viewOf(key);
    if (view.order != nullptr) return view.order->nth(index, values);
    uint32_t& at = values ? view.valueIndex : view.keyIndex;
    RegCacheRec*& atRec = values ? view.valueAt : view.keyAt;
    const uint32_t SHORT_WALK = g_enumShortWalk;
    uint32_t i = 0;
    RegCacheRec* c = key->firstChild;
    if (atRec != nullptr && at <= index) {
        i = at;
        c = atRec;
    }
    uint32_t steps = 0;
    if (c == key->firstChild)
        while (c != nullptr && !want(c) && steps++ < SHORT_WALK) c = c->next;
    while (c != nullptr && i < index && steps < SHORT_WALK) {
        c = c->next;
        while (c != nullptr && !want(c) && steps++ < SHORT_WALK) c = c->next;
        i++;
        steps++;
    }
    if (c == nullptr || (i == index && want(c))) {
        if (c != nullptr) {
            at = i;
            atRec = c;
        }
        return c;
    }
    view.order = std::make_unique<ChildOrder>();
    view.order->build(key);
    return view.order->nth(index, values);
}

// Copies at most `cap` bytes of `text` (length len) into buf and pads the
// rest of the capacity with NULs; the number of text bytes copied.
uint32_t copyPadded(char* buf, uint32_t cap, const char* text, uint32_t len) {
    uint32_t n = len < cap ? len : cap;
    if (buf == nullptr) return n;
    memcpy(buf, text, n);
    memset(buf + n, 0, cap - n);
    return n;
}

// Stored form of value data: string types gain a NUL when the given bytes
// do not end in one, and their size then counts up to the first NUL.
bool makeValueData(uint32_t dwType, const uint8_t* lpData, uint32_t cbData, uint8_t** out,
                   uint32_t* size) {
    *out = nullptr;
    *size = 0;
    bool isString = dwType == REGD_REG_SZ || dwType == REGD_REG_EXPAND_SZ;
    if (isString && cbData > 0 && lpData[cbData - 1] != 0) {
        auto* buf = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbData) + 1));
        if (buf == nullptr) return false;
        memcpy(buf, lpData, cbData);
        buf[cbData] = 0;
        *out = buf;
        *size = static_cast<uint32_t>(strlen(reinterpret_cast<char*>(buf))) + 1;
        return true;
    }
    if (cbData == 0) return true;
    auto* buf = static_cast<uint8_t*>(malloc(cbData));
    if (buf == nullptr) return false;
    memcpy(buf, lpData, cbData);
    *out = buf;
    *size = cbData;
    return true;
}

}  // namespace

// ---- Child lists and the index ----

void regdChildKindChanged(const RegCacheRec* rec) {
    if (rec->parent != nullptr) dropView(rec->parent);
}

RegCacheRec* regdChildNamed(const RegCacheRec* parent, const char* name, uint32_t kind) {
    return indexFind(parent, name, strlen(name), [name, kind](const RegCacheRec* c) {
        return (kind == REGD_ANY_KIND || c->kind == kind) && strcmp(regdNameOf(c), name) == 0;
    });
}

// The walk up is bounded, so that building a tree thousands of levels deep
// (files may hold one) stays linear: past the bound, every user counts as
// changed until the next full save.
void regdTouchUser(const RegCacheRec* rec) {
    size_t steps = 0;
    for (const RegCacheRec* r = rec; r != nullptr && r->parent != nullptr; r = r->parent) {
        const RegCacheRec* up = r->parent;
        if (up->parent == nullptr && up->hKey == REGD_HKEY_USERS) {
            g_dirtyUsers.insert(r);
            return;
        }
        if (++steps > 2 * REGD_MAX_KEY_DEPTH) {
            g_allUsersDirty = true;
            return;
        }
    }
}

bool regdUserDirty(const RegCacheRec* userKey) { return g_allUsersDirty || g_dirtyUsers.count(userKey) != 0; }

void regdSetAllUsersClean() { g_allUsersDirty = false; }

void regdSetUserClean(const RegCacheRec* userKey) { g_dirtyUsers.erase(userKey); }

namespace {

// Gives the children of `parent` orders spread around 0, so that both ends
// have room again; only a list that grew at one end some 2^31 times needs it.
void renumberChildren(RegCacheRec* parent) {
    int64_t n = 0;
    for (const RegCacheRec* c = parent->firstChild; c != nullptr; c = c->next) n++;
    int32_t order = static_cast<int32_t>(-(n / 2));
    for (RegCacheRec* c = parent->firstChild; c != nullptr; c = c->next) c->order = order++;
}

}  // namespace

void regdLinkChild(RegCacheRec* parent, RegCacheRec* child, bool atTail) {
    child->parent = parent;
    child->next = nullptr;
    child->prev = nullptr;
    RegCacheRec* first = parent->firstChild;
    if (first == nullptr) {
        parent->firstChild = parent->lastChild = child;
        child->order = 0;
    } else if (atTail) {
        if (parent->lastChild->order == INT32_MAX) {
            renumberChildren(parent);
            dropView(parent);
        }
        RegCacheRec* last = parent->lastChild;
        last->next = child;
        child->prev = last;
        child->order = last->order + 1;
        parent->lastChild = child;
    } else {
        if (first->order == INT32_MIN) {
            renumberChildren(parent);
            dropView(parent);
        }
        child->next = first;
        first->prev = child;
        child->order = first->order - 1;
        parent->firstChild = child;
    }
    indexInsert(child);
    childMoved(parent, child, true, atTail);
    regdTouchUser(child);
}

void regdUnlinkChild(RegCacheRec* rec) {
    RegCacheRec* parent = rec->parent;
    regdTouchUser(rec);
    bool linked = parent != nullptr && (rec->prev != nullptr || parent->firstChild == rec);
    if (linked) {
        indexErase(rec);
        if (parent->lastChild == rec) parent->lastChild = rec->prev;
    }
    if (rec->prev != nullptr) {
        rec->prev->next = rec->next;
    } else if (parent != nullptr && parent->firstChild == rec) {
        parent->firstChild = rec->next;
    }
    if (rec->next != nullptr) rec->next->prev = rec->prev;
    rec->next = nullptr;
    rec->prev = nullptr;
    if (linked) childMoved(parent, rec, false, false);  // once out of the list, which a rebuild walks
}

void regdIndexRecords(RegCacheRec* recs, size_t n) {
    indexGrowFor(g_indexUsed + n);
    // A file written here lists siblings in file order, so the position in
    // the file is an order that rises along each list, found in one pass
    // through the array; other files get their lists walked.
    bool inFileOrder = true;
    for (size_t i = 0; i < n; i++) {
        RegCacheRec* rec = &recs[i];
        if (rec->slot == REGD_NO_SLOT) continue;
        rec->order = static_cast<int32_t>(i);
        if (rec->prev != nullptr && rec->prev >= rec) inFileOrder = false;
        if (rec->next == nullptr && rec->parent != nullptr) rec->parent->lastChild = rec;
    }
    for (size_t i = 0; i < n && !inFileOrder; i++) {
        RegCacheRec* parent = &recs[i];
        if (parent->slot == REGD_NO_SLOT || parent->firstChild == nullptr) continue;
        int32_t order = 0;
        for (RegCacheRec* c = parent->firstChild; c != nullptr; c = c->next) c->order = order++;
    }
    // The table is far larger than the caches: each record's home is
    // fetched a few records ahead of its insertion.
    constexpr size_t AHEAD = 16;
    struct Pending {
        RegCacheRec* rec;
        size_t home;
    } ring[AHEAD] = {};
    size_t mask = g_index.size() - 1;
    size_t queued = 0;
    auto place = [mask](const Pending& p) {
        size_t k = p.home;
        while (g_index[k] != nullptr) k = (k + 1) & mask;
        g_index[k] = p.rec;
    };
    for (size_t i = 0; i < n; i++) {
        RegCacheRec* rec = &recs[i];
        if (rec->slot == REGD_NO_SLOT || rec->parent == nullptr) continue;
        Pending& slot = ring[queued % AHEAD];
        if (queued >= AHEAD) place(slot);
        slot = Pending{rec, homeOf(rec)};
        __builtin_prefetch(&g_index[slot.home], 1);
        queued++;
    }
    for (size_t k = queued > AHEAD ? queued - AHEAD : 0; k < queued; k++) place(ring[k % AHEAD]);
    g_indexUsed += queued;
}

// ---- Slot table and handles ----

// Predefined handles by their rules, anything else as a slot number.
RegCacheRec* regdFindHKey(const RegdCaller& caller, uint32_t hKey) {
    if (!isRootHandle(hKey)) return hKey < g_nCacheSlots ? regCacheTable[hKey] : nullptr;
    if (hKey == REGD_HKEY_CLASSES_ROOT) {
        RegCacheRec* software = regdChildNamed(findRootRecord(REGD_HKEY_LOCAL_MACHINE), "Software");
        return software == nullptr ? nullptr : regdChildNamed(software, "Classes");
    }
    if (hKey == REGD_HKEY_CURRENT_USER) {
        RegCacheRec* users = findRootRecord(REGD_HKEY_USERS);
        if (users == nullptr) return nullptr;
        bool local = _tsm_gethostid() == caller.hostId;
        return regdChildNamed(users, local ? caller.userName : ".Default");
    }
    return findRootRecord(hKey);
}

// Pops a free slot, growing the table once when the stack is empty.
void regdFindNextFreeCacheRec(uint32_t& slot) {
    if (freeCacheNode.empty()) regdReallocateCache(1000);
    if (freeCacheNode.empty()) {
        slot = REGD_NO_SLOT;
        return;
    }
    slot = freeCacheNode.back();
    freeCacheNode.pop_back();
}

// Pushes from..to one by one so that `to` ends on top.
uint32_t regdAddFreeNode(int32_t from, uint32_t to) {
    int64_t s = from;
    int64_t end = to;
    int64_t step = s > end ? -1 : 1;
    for (;; s += step) {
        freeCacheNode.push_back(static_cast<uint32_t>(s));
        if (s == end) break;
    }
    return to;
}

// Adds (n / 1000) * 1000 + 1000 empty slots, lowest new one on top.
RegCacheRec** regdReallocateCache(int32_t n) {
    int64_t grow = (n > 0 ? static_cast<int64_t>(n) / 1000 * 1000 : 0) + 1000;
    uint64_t newCount = static_cast<uint64_t>(g_nCacheSlots) + static_cast<uint64_t>(grow);
    RegCacheRec** table = nullptr;
    if (newCount <= REGD_MAX_SLOTS)
        table = static_cast<RegCacheRec**>(realloc(regCacheTable, newCount * sizeof(RegCacheRec*)));
    if (table == nullptr) {
        writeToLog("regdReallocateCache out of memory error.");
        return nullptr;
    }
    uint32_t oldCount = g_nCacheSlots;
    regdAdviseHugePages(table, newCount * sizeof(RegCacheRec*));
    for (uint64_t i = oldCount; i < newCount; i++) table[i] = nullptr;
    regCacheTable = table;
    freeCacheNode.reserve(freeCacheNode.size() + static_cast<size_t>(grow));
    regdAdviseHugePages(freeCacheNode.data(), freeCacheNode.capacity() * sizeof(uint32_t));
    regdAddFreeNode(static_cast<int32_t>(newCount - 1), oldCount);
    g_nCacheSlots = static_cast<uint32_t>(newCount);
    return table;
}

void regdSetDirtyFlag() { g_dirty++; }

// Releases every record and list; the table is absent afterwards.
void regdDiscardCache() {
    for (uint32_t i = 0; i < g_nCacheSlots; i++) {
        RegCacheRec* rec = regCacheTable[i];
        if (rec == nullptr) continue;
        regdFreeRecordContents(rec);
        regdFreeRecord(rec);
    }
    free(regCacheTable);
    regCacheTable = nullptr;
    g_index.reset(0);
    g_indexUsed = 0;
    {
        std::lock_guard<std::mutex> lock(g_viewMutex);
        g_views.clear();
    }
    g_nCacheSlots = 0;
    g_nEntries = 0;
    freeCacheNode = {};
    deletedNodeList = {};
    g_dirtyUsers = {};
    g_allUsersDirty = false;
    g_dirty = 0;
}

uint32_t regdHandleForName(const char* name, uint32_t slot) {
    if (name == nullptr || name[0] != 'H') return slot;  // every root name starts so
    for (int i = 0; i < REGD_NUM_ROOTS; i++)
        if (name != nullptr && strcmp(name, regdRootNames[i]) == 0) return rootHandles[i];
    return slot;
}

RegCacheRec* regdFindUserKey(const char* userName) {
    return regdChildNamed(findRootRecord(REGD_HKEY_USERS), userName);
}

// ---- Path resolution ----

// One level per step: skip one leading backslash, match the segment up to
// the next one; no backtracking once a candidate matched.
RegCacheRec* regdFindSubKey(RegCacheRec* start, const char* path, uint32_t wantKind) {
    if (path == nullptr) return start;
    RegCacheRec* cur = start;
    const char* p = path;
    while (cur != nullptr) {
        if (*p == '\\') p++;
        const char* sep = strchr(p, '\\');
        size_t len = sep != nullptr ? static_cast<size_t>(sep - p) : strlen(p);
        bool hasRest = sep != nullptr && sep[1] != '\0';
        RegCacheRec* match = indexFind(cur, p, len, [hasRest, wantKind](const RegCacheRec* c) {
            return hasRest ? (c->kind == REGD_KIND_KEY || c->kind == wantKind) : c->kind == wantKind;
        });
        if (match == nullptr || !hasRest) return match;
        cur = match;
        p = sep + 1;
    }
    return nullptr;
}

// Resolves the handle, then the path; keys without a handle get one here.
uint32_t regdRegOpenKey(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t, uint32_t,
                        uint32_t* phkResult, uint32_t forcedHandle) {
    *phkResult = 0;
    RegCacheRec* start = regdFindHKey(caller, hKey);
    if (start == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    RegCacheRec* key = regdFindSubKey(start, subKey, REGD_KIND_KEY);
    if (key == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    if (key->hKey == 0) key->hKey = forcedHandle != 0 ? forcedHandle : key->slot;
    *phkResult = key->hKey;
    return REGD_ERROR_SUCCESS;
}

// ---- Insertion and deletion ----

// Takes a slot, fills a fresh record and links it under the parent.
RegCacheRec* regdCreateNewCacheRec(RegCacheRec* parent, const char* name, uint32_t kind, uint32_t isShadow) {
    uint32_t slot = 0;
    regdFindNextFreeCacheRec(slot);
    if (slot == REGD_NO_SLOT) return nullptr;
    auto* rec = static_cast<RegCacheRec*>(malloc(sizeof(RegCacheRec)));
    char* copy = _tsm_strdup(name != nullptr ? name : "");
    if (rec == nullptr || copy == nullptr) {
        free(rec);
        free(copy);
        regdAddFreeNode(static_cast<int32_t>(slot), slot);
        return nullptr;
    }
    memset(rec, 0, sizeof *rec);
    regCacheTable[slot] = rec;
    g_nEntries++;
    rec->hKey = slot;
    rec->slot = slot;
    rec->name = copy;
    rec->nameLen = static_cast<uint32_t>(strlen(copy));
    rec->packState = REGD_PACK_PENDING;
    rec->kind = static_cast<uint16_t>(kind);
    rec->isShadow = static_cast<uint8_t>(isShadow);
    if (parent != nullptr) regdLinkChild(parent, rec, copy[0] == '\0');
    return rec;
}

// Walks the existing part of the path, creates the rest, then sets class
// and options on the final key.
uint32_t regdInsertKey(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t,
                       const char* lpClass, uint32_t options, uint32_t, const void*, uint32_t* phkResult,
                       uint32_t*, uint32_t forcedHandle) {
    *phkResult = 0;
    RegCacheRec* cur = regdFindHKey(caller, hKey);
    if (cur == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    const char* p = subKey != nullptr ? subKey : "";
    size_t levels = 0;
    for (const char* q = p; *q != '\0';) {
        while (*q == '\\') q++;
        size_t len = strcspn(q, "\\");
        if (len > REGD_MAX_KEY_COMPONENT) return REGD_ERROR_INVALID_PARAMETER;
        if (len > 0) levels++;
        q += len;
    }
    if (levels > 0 && depthOf(cur) + levels > g_maxKeyDepth) return REGD_ERROR_INVALID_PARAMETER;
    while (*p == '\\') p++;
    while (*p != '\0') {  // existing components
        size_t len = strcspn(p, "\\");
        RegCacheRec* found = findKeyChild(cur, p, len);
        if (found == nullptr) break;
        cur = found;
        p += len;
        while (*p == '\\') p++;
    }
    if (*p != '\0') regdReportChange(cur, REGD_NOTIFY_CHANGE_NAME);
    while (*p != '\0') {  // missing components
        size_t len = strcspn(p, "\\");
        std::string component(p, len);
        RegCacheRec* rec = regdCreateNewCacheRec(cur, component.c_str());
        if (rec == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
        rec->kind = REGD_KIND_KEY;
        cur = rec;
        p += len;
        while (*p == '\\') p++;
    }
    if (forcedHandle != 0) cur->hKey = forcedHandle;
    if (lpClass != nullptr || cur->options != options) regdTouchUser(cur);
    if (lpClass != nullptr) {
        char* copy = _tsm_strdup(lpClass);
        if (copy == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
        regdFreeOwned(cur, cur->className);
        cur->className = copy;
        cur->classLen = static_cast<uint32_t>(strlen(copy));
        forgetView(cur->parent);
    }
    cur->options = options;
    *phkResult = cur->hKey;
    regdSetDirtyFlag();
    return REGD_ERROR_SUCCESS;
}

// Finds the value, else creates it (a shadow beside a same-named sub-key).
RegCacheRec* regdInsertValueKey(RegCacheRec* key, const char* name) {
    if (key == nullptr) return nullptr;
    if (name == nullptr) name = "";
    RegCacheRec* value = regdFindSubKey(key, name, REGD_KIND_VALUE);
    if (value != nullptr) return value;
    RegCacheRec* sameNamedKey = regdFindSubKey(key, name, REGD_KIND_KEY);
    if (sameNamedKey != nullptr) {
        value = regdCreateNewCacheRec(sameNamedKey->parent, regdNameOf(sameNamedKey), REGD_KIND_VALUE, 1);
    } else {
        value = regdCreateNewCacheRec(key, name, REGD_KIND_VALUE);
    }
    return value;
}

// Depth first, children in list order, each record after its children;
// iterative so that no depth of tree can exhaust the stack.
uint32_t regdRegDeleteKey(RegCacheRec* rec) {
    if (rec == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    if (rec->parent != nullptr) regdReportChange(rec->parent, REGD_NOTIFY_CHANGE_NAME);
    unlinkRec(rec);
    RegCacheRec* node = rec;
    for (;;) {
        while (node->firstChild != nullptr) {
            RegCacheRec* child = node->firstChild;
            unlinkRec(child);
            node = child;
        }
        RegCacheRec* up = node == rec ? nullptr : node->parent;
        if (node->kind == REGD_KIND_KEY) regdReportChange(node, REGD_CHANGE_KEY_DELETED);
        deletedNodeList.push_back(node->hKey);
        if (deletedNodeList.size() > g_maxDeletedHandles) deletedNodeList.pop_front();
        releaseRec(node);
        if (up == nullptr) break;
        node = up;
    }
    return REGD_ERROR_SUCCESS;
}

void regdRemoveValueRec(RegCacheRec* rec) {
    if (rec == nullptr) return;
    if (rec->parent != nullptr) regdReportChange(rec->parent, REGD_NOTIFY_CHANGE_LAST_SET);
    unlinkRec(rec);
    releaseRec(rec);
}

// Removes the newest deleted-handle entry for hKey.
uint32_t regdRegCloseKey(uint32_t hKey) {
    auto it = std::find(deletedNodeList.rbegin(), deletedNodeList.rend(), hKey);
    if (it == deletedNodeList.rend()) return REGD_ERROR_FILE_NOT_FOUND;
    deletedNodeList.erase(std::next(it).base());
    return REGD_ERROR_SUCCESS;
}

// ---- Values ----

// Value by name, else sub-key's default value, else the record itself.
uint32_t regdRegQueryValue(const RegdCaller& caller, uint32_t hKey, const char* name, uint32_t,
                           uint32_t* lpType, uint8_t* lpData, uint32_t* lpcbData) {
    RegCacheRec* key = regdFindHKey(caller, hKey);
    if (key == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    RegCacheRec* target = nullptr;
    if (name == nullptr) {
        target = regdFindSubKey(key, "", REGD_KIND_VALUE);
        if (target == nullptr) target = key;
    } else if (name[0] == '\0') {
        target = regdFindSubKey(key, "", REGD_KIND_VALUE);
    } else {
        target = regdFindSubKey(key, name, REGD_KIND_VALUE);
        if (target == nullptr) {
            RegCacheRec* sub = regdFindSubKey(key, name, REGD_KIND_KEY);
            if (sub != nullptr) {
                target = regdFindSubKey(sub, "", REGD_KIND_VALUE);
                if (target == nullptr) target = sub;
            }
        }
    }
    if (target == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = target->valueType;
    uint32_t cap = lpcbData != nullptr ? *lpcbData : 0;
    uint32_t size = target->dataSize;
    if (lpData != nullptr) {
        if (cap < size) {
            memcpy(lpData, target->data, cap);
            *lpcbData = size;
            return REGD_ERROR_MORE_DATA;
        }
        if (size > 0) memcpy(lpData, target->data, size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    if (size == 0) {
        // An empty value reads as an empty string; a zero capacity gets nothing.
        if (lpData != nullptr && cap > 0) lpData[0] = 0;
        if (lpcbData != nullptr) *lpcbData = 1;
    }
    return REGD_ERROR_SUCCESS;
}

uint32_t regdCreateSubKeyDirect(const RegdCaller& caller, uint32_t hKey, const char* subKey,
                                uint32_t* phkResult) {
    if (regdRegOpenKey(caller, hKey, subKey, 0, 0, phkResult, 0) == REGD_ERROR_SUCCESS)
        return REGD_ERROR_SUCCESS;
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    return regdInsertKey(caller, hKey, subKey, 0, nullptr, 0, 0, nullptr, phkResult, nullptr, 0);
}

// Chooses the key and value name, then replaces type and data under the lock.
uint32_t regdRegSetValue(const RegdCaller& caller, uint32_t hKey, const char* name, uint32_t,
                         uint32_t dwType, const uint8_t* lpData, uint32_t cbData, uint32_t subKeyForm) {
    if (lpData == nullptr && cbData > 0) return REGD_ERROR_INVALID_PARAMETER;
    const char* valueName = name != nullptr ? name : "";
    if (subKeyForm != 1 && strlen(valueName) > REGD_MAX_VALUE_NAME) return REGD_ERROR_INVALID_PARAMETER;
    RegCacheRec* key = regdFindHKey(caller, hKey);
    if (key == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    std::unique_lock<std::shared_mutex> lock(regdWriteMutex, std::defer_lock);
    if (valueName[0] != '\0' && subKeyForm == 1) {
        uint32_t subHandle = 0;
        uint32_t made = g_regdSubKeyCreator(caller, hKey, valueName, &subHandle);
        if (made == REGD_ERROR_INVALID_PARAMETER) return made;
        if (made != REGD_ERROR_SUCCESS) return REGD_ERROR_FILE_NOT_FOUND;
        lock.lock();
        key = regdFindHKey(caller, subHandle);
        valueName = "";
    } else {
        lock.lock();
    }
    RegCacheRec* value = regdInsertValueKey(key, valueName);
    if (value == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    uint8_t* data = nullptr;
    uint32_t size = 0;
    if (!makeValueData(dwType, lpData, cbData, &data, &size)) return REGD_ERROR_FILE_NOT_FOUND;
    value->valueType = dwType;
    regdFreeOwned(value, value->data);
    value->data = data;
    value->dataSize = size;
    value->lastWriteTime = RegFileTime{0, 0};
    forgetView(value->parent);
    regdTouchUser(value);
    regdReportChange(key, REGD_NOTIFY_CHANGE_LAST_SET);
    lock.unlock();
    regdSetDirtyFlag();
    return REGD_ERROR_SUCCESS;
}

// ---- Enumeration ----

namespace {

// Name of an enumerated key, in the first mode that applies.
void enumKeyName(const RegCacheRec* key, char** lpName, uint32_t* lpcbName, uint32_t nameMax,
                 uint32_t allocate) {
    char* buf = lpName != nullptr ? *lpName : nullptr;
    const char* name = regdNameOf(key);
    uint32_t len = key->nameLen;
    if (buf != nullptr && lpcbName != nullptr && *lpcbName > 0) {
        *lpcbName = copyPadded(buf, *lpcbName, name, len);
    } else if (buf == nullptr && nameMax == 0 && allocate != 0 && lpName != nullptr) {
        *lpName = regdStrdupOrDie(name);
        if (lpcbName != nullptr) *lpcbName = len;
    } else if (buf != nullptr && nameMax == 0) {
        memcpy(buf, name, static_cast<size_t>(len) + 1);
        if (lpcbName != nullptr) *lpcbName = len;
    } else if (buf != nullptr) {
        if (len >= nameMax) {
            memcpy(buf, name, nameMax);
        } else {
            memcpy(buf, name, static_cast<size_t>(len) + 1);
        }
        if (lpcbName != nullptr) *lpcbName = len < nameMax ? len : nameMax;
    }
}

// Class of an enumerated key; true when a class was cut to the capacity.
bool enumKeyClass(const RegCacheRec* key, char** lpClass, uint32_t* lpcbClass, uint32_t allocate) {
    char* buf = lpClass != nullptr ? *lpClass : nullptr;
    if (buf == nullptr) {
        if (allocate != 0 && key->className != nullptr && lpClass != nullptr) {
            *lpClass = regdStrdupOrDie(key->className);
            if (lpcbClass != nullptr) *lpcbClass = key->classLen;
        }
        return false;
    }
    if (lpcbClass == nullptr) return false;
    uint32_t cap = *lpcbClass;
    if (key->className == nullptr) {
        if (cap > 0) buf[0] = '\0';
        *lpcbClass = 0;
        return false;
    }
    *lpcbClass = copyPadded(buf, cap, key->className, key->classLen);
    return key->classLen > cap;
}

}  // namespace

uint32_t regdRegEnumKey(const RegdCaller& caller, uint32_t hKey, uint32_t index, char** lpName,
                        uint32_t* lpcbName, uint32_t, char** lpClass, uint32_t* lpcbClass,
                        RegFileTime* lpftLastWriteTime, uint32_t nameMax, uint32_t allocate) {
    RegCacheRec* key = regdFindHKey(caller, hKey);
    if (key == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    RegCacheRec* sub = nthChild(key, index, false);
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = RegFileTime{0, 0};
    if (sub == nullptr) return REGD_ERROR_NO_MORE_ITEMS;
    enumKeyName(sub, lpName, lpcbName, nameMax, allocate);
    bool classCut = enumKeyClass(sub, lpClass, lpcbClass, allocate);
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = sub->lastWriteTime;
    return classCut ? REGD_ERROR_MORE_DATA : REGD_ERROR_SUCCESS;
}

uint32_t regdRegEnumValue(const RegdCaller& caller, uint32_t hKey, uint32_t index, char** lpName,
                          uint32_t* lpcbName, uint32_t, uint32_t* lpType, uint8_t** lpData,
                          uint32_t* lpcbData, uint32_t allocate) {
    RegCacheRec* key = regdFindHKey(caller, hKey);
    if (key == nullptr) {
        if (lpType != nullptr) *lpType = 0;
        if (lpcbData != nullptr) *lpcbData = 0;
        if (lpcbName != nullptr) *lpcbName = 0;
        return REGD_ERROR_FILE_NOT_FOUND;
    }
    if (lpType != nullptr) *lpType = 0;
    RegCacheRec* value = nthChild(key, index, true);
    if (value == nullptr) {
        if (lpcbData != nullptr) *lpcbData = 0;
        if (lpcbName != nullptr) *lpcbName = 0;
        return REGD_ERROR_NO_MORE_ITEMS;
    }
    char* nameBuf = lpName != nullptr ? *lpName : nullptr;
    if (nameBuf == nullptr && allocate != 0 && lpName != nullptr) {
        *lpName = regdStrdupOrDie(regdNameOf(value));
        if (lpcbName != nullptr) *lpcbName = value->nameLen;
    } else if (lpcbName != nullptr) {
        *lpcbName = copyPadded(nameBuf, *lpcbName, regdNameOf(value), value->nameLen);
    }
    if (lpType != nullptr) *lpType = value->valueType;
    uint8_t* dataBuf = lpData != nullptr ? *lpData : nullptr;
    uint32_t cap = lpcbData != nullptr ? *lpcbData : 0;
    if (value->dataSize > 0 && dataBuf == nullptr && allocate != 0 && lpData != nullptr) {
        auto* copy = static_cast<uint8_t*>(malloc(value->dataSize));
        if (copy == nullptr) regdOutOfMemory();
        memcpy(copy, value->data, value->dataSize);
        *lpData = copy;
    } else if (value->dataSize <= cap && dataBuf != nullptr && value->dataSize > 0) {
        memcpy(dataBuf, value->data, value->dataSize);
    }
    if (lpcbData != nullptr) *lpcbData = value->dataSize;
    return REGD_ERROR_SUCCESS;
}

// One walk over the children gives what a full enumeration of each kind
// would: counts, longest names, longest class and largest data. Kept up to
// date as children come and go; walked again after one that held a maximum
// went, or a child's data or class changed.
void regdCountChildren(const RegCacheRec* key, RegKeyCounts* counts) {
    std::lock_guard<std::mutex> lock(g_viewMutex);
    ChildView& view = viewOf(key);
    if (view.countsValid) {
        *counts = view.counts;
        return;
    }
    *counts = RegKeyCounts{};
    for (const RegCacheRec* c = key->firstChild; c != nullptr; c = c->next) {
        if (c->kind == REGD_KIND_KEY) {
            counts->cSubKeys++;
            if (c->nameLen > counts->cbMaxSubKeyLen) counts->cbMaxSubKeyLen = c->nameLen;
            if (c->className != nullptr && c->classLen > counts->cbMaxClassLen)
                counts->cbMaxClassLen = c->classLen;
        } else if (c->kind == REGD_KIND_VALUE && c->isShadow == 0) {
            counts->cValues++;
            if (c->nameLen > counts->cbMaxValueNameLen) counts->cbMaxValueNameLen = c->nameLen;
            if (c->dataSize > counts->cbMaxValueLen) counts->cbMaxValueLen = c->dataSize;
        }
    }
    view.counts = *counts;
    view.countsValid = true;
}

// ---- Roots ----

// The six roots in slots 0 to 5, then the keys every registry has.
int regdInitCache() {
    if (regCacheTable != nullptr) return 1;
    if (regdReallocateCache(1000) == nullptr) return 0;
    for (int i = 0; i < REGD_NUM_ROOTS; i++) {
        auto* rec = static_cast<RegCacheRec*>(calloc(1, sizeof(RegCacheRec)));
        if (rec == nullptr) regdOutOfMemory();
        rec->slot = static_cast<uint32_t>(i);
        rec->name = regdStrdupOrDie(regdRootNames[i]);
        rec->nameLen = static_cast<uint32_t>(strlen(rec->name));
        rec->hKey = rootHandles[i];
        uint32_t slot = 0;
        regdFindNextFreeCacheRec(slot);  // the fresh stack has slot i on top
        regCacheTable[slot] = rec;
        g_nEntries++;
    }
    uint32_t software = 0;
    uint32_t ignored = 0;
    // Built before anyone calls: the empty caller, a user named "" on host 0.
    const RegdCaller nobody{};
    regdInsertKey(nobody, REGD_HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0, 0, nullptr, &software, nullptr, 0);
    if (software != 0)
        regdInsertKey(nobody, software, "Classes", 0, nullptr, 0, 0, nullptr, &ignored, nullptr, 0);
    regdInsertKey(nobody, REGD_HKEY_USERS, ".Default", 0, nullptr, 0, 0, nullptr, &ignored, nullptr, 0);
    regdInsertKey(nobody, REGD_HKEY_CURRENT_CONFIG, "Config", 0, nullptr, 0, 0, nullptr, &ignored, nullptr, 0);
    regdInsertKey(nobody, REGD_HKEY_CURRENT_USER, "Software", 0, nullptr, 0, 0, nullptr, &ignored, nullptr, 0);
    writeToLog("Registry initialized.");
    regdSetDirtyFlag();
    return 1;
}
