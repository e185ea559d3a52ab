// pmem: size classes over auto_plex, a checked header, and per-pool and
// per-module counters with their peaks.
//
// Owned state: the exported tables of pmem.h.  pmem_pool_sizes and
// pmem_module_names are constant data; everything else is zero at load and
// filled by pmem_init, once.  Pools 0..25 own an initialised plex of slots
// of size + 16 bytes; pool 26 (above 8192 bytes) is served by the system
// allocator and its control block stays all zero.
//
// Invariants between calls, once pmem_inited is 1:
//   - order_to_pool[o] is the lowest pool whose size is at least 2^o;
//   - a live allocation's header holds PMEM_MAGIC, a clear freed bit, the
//     pool that served it and the module it is charged to; its caller's area
//     is 16-byte aligned because every slot size and the system allocator's
//     blocks are;
//   - counters only grow: alloc_count - free_count of a pool is the number of
//     its live allocations, alloc_size - free_size of a module its live bytes.
#include "pmem.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <type_traits>

#include "platform/ap_check.h"
#include "platform/ap_inject.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/pmem_private.h"
#include "private/ptr_set.h"
#include "private/settings.h"

static_assert(std::is_standard_layout_v<pmem_header>);
static_assert(sizeof(pmem_header) == PMEM_HEADER_SIZE, "C hosts and stored blocks use 16 bytes");
static_assert(offsetof(pmem_header, pool_id) == 8 && offsetof(pmem_header, mid) == 10);
static_assert(offsetof(pmem_header, flags) == 12 && offsetof(pmem_header, mem) == 16);
// The caller's area is promised long double alignment.
static_assert(sizeof(long double) == PMEM_HEADER_SIZE);
static_assert(std::is_standard_layout_v<pmem_pool> && std::is_standard_layout_v<module_statis>);
// The reports print uint64_t counters with %lu.
static_assert(std::is_same_v<uint64_t, unsigned long>);

namespace {

constexpr unsigned kPlexPools = PMEM_POOL_ID_N - 1;  // pool 26 has no plex
constexpr unsigned kSystemPool = PMEM_POOL_ID_N - 1;
constexpr unsigned kMaxOrder = 30;
constexpr unsigned kOrderN = kMaxOrder + 1;
constexpr size_t kModuleNameMax = 19;

// ---- size classes --------------------------------------------------------

#define PMEM_POOL_SIZE_LIST                                                                   \
    0, 16, 32, 64, 128, 256, 320, 384, 448, 512, 640, 768, 896, 1024, 1280, 1536, 1792, 2048, \
        2560, 3072, 3584, 4096, 5120, 6144, 7168, 8192, 1073741824

constexpr std::array<uint32_t, PMEM_POOL_ID_N> kPoolSizes = {PMEM_POOL_SIZE_LIST};

constexpr uint64_t round_pow2(uint64_t x, uint64_t align) {
    return (x + align - 1) & ~(align - 1);
}

constexpr bool pool_sizes_sound() {
    if (kPoolSizes[0] != 0 || kPoolSizes[kPlexPools - 1] != 8192) return false;
    if (kPoolSizes[kSystemPool] != PMEM_MAX_SIZE) return false;
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        if (round_pow2(kPoolSizes[p], 16) != kPoolSizes[p]) return false;
        if (p > 0 && kPoolSizes[p] <= kPoolSizes[p - 1]) return false;  // also catches a short list
    }
    return true;
}
// Pool sizes: 0 first, ascending, multiples of 16, 8192 the last plex pool,
// 1 GiB the system pool.
static_assert(pool_sizes_sound());

// The cursor walk pmem_init performs: entry o is the lowest pool whose size
// is at least 2^o.  Shared by pmem_init and the compile-time table below, so
// the table that is checked is the table that is built.
constexpr void build_order_table(const uint32_t *sizes, uint16_t *out) {
    unsigned p = 0;
    for (unsigned o = 0; o < kOrderN; o++) {
        while (p < PMEM_POOL_ID_N && (uint64_t{1} << o) > sizes[p])
            p++;
        out[o] = static_cast<uint16_t>(p < PMEM_POOL_ID_N ? p : 0);
    }
}

constexpr std::array<uint16_t, kOrderN> order_table() {
    std::array<uint16_t, kOrderN> t{};
    build_order_table(kPoolSizes.data(), t.data());
    return t;
}

constexpr std::array<uint16_t, kOrderN> kExpectedOrderToPool = {
    1,  1,  1,  1,  1,  2,  3,  4,  5,  9,  13, 17, 21, 25, 26, 26,
    26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26};
static_assert(order_table() == kExpectedOrderToPool);

// pmem_size2id steps down at most three pools from the order table's entry.
constexpr bool at_most_four_pools_per_order() {
    for (unsigned o = 1; o < kOrderN; o++) {
        unsigned n = 0;
        for (uint32_t s : kPoolSizes)
            n += s > (uint64_t{1} << (o - 1)) && s <= (uint64_t{1} << o);
        if (n > 4) return false;
    }
    return true;
}
static_assert(at_most_four_pools_per_order());

// ---- build-time names ----------------------------------------------------

constexpr size_t c_strlen(const char *s) {
    size_t n = 0;
    while (s[n])
        n++;
    return n;
}

constexpr bool c_streq(const char *a, const char *b) {
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

constexpr void put_text(char *dst, const char *src) {
    while ((*dst++ = *src++) != '\0') {
    }
}

constexpr void put_uint(char *dst, uint64_t v) {
    char digits[20];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        *dst++ = digits[--n];
    *dst = '\0';
}

// Pool names as pmem_init formats them; the reports fall back on these
// before pmem_init, so a report never prints a null name.
struct PoolNames {
    char text[PMEM_POOL_ID_N][sizeof("pmem_pool_4294967295")];
};

constexpr PoolNames build_pool_names() {
    PoolNames t{};
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        put_text(t.text[p], "pmem_pool_");
        put_uint(t.text[p] + c_strlen("pmem_pool_"), kPoolSizes[p]);
    }
    return t;
}
constexpr PoolNames kPoolNames = build_pool_names();

template <size_t N>
consteval bool valid_module_name(const char (&name)[N]) {
    return N >= 2 && N - 1 <= kModuleNameMax && c_strlen(name) == N - 1;
}

#define PMEM_MODULE(id, name)                                                         \
    static_assert((id) >= 1 && (id) < PMEM_MID_N, "pmem module id must be 1 to 128"); \
    static_assert(valid_module_name(name), "pmem module name must have 1 to 19 characters");
#include "pmem_modules.def"
#undef PMEM_MODULE

constexpr int kNamedModuleIds[] = {
#define PMEM_MODULE(id, name) (id),
#include "pmem_modules.def"
#undef PMEM_MODULE
    0};  // keeps the list non-empty; id 0 is never named

constexpr bool named_ids_unique() {
    for (int a : kNamedModuleIds) {
        int seen = 0;
        for (int b : kNamedModuleIds)
            seen += a != 0 && a == b;
        if (seen > 1) return false;
    }
    return true;
}
static_assert(named_ids_unique(), "a pmem module id is named twice in pmem_modules.def");

struct ModuleNames {
    char text[PMEM_MID_N][kModuleNameMax + 1];
};

constexpr ModuleNames build_module_names() {
    ModuleNames t{};
    put_text(t.text[0], "default");
    for (unsigned id = 1; id < PMEM_MID_N; id++) {
        put_text(t.text[id], "module_");
        put_uint(t.text[id] + c_strlen("module_"), id);
    }
#define PMEM_MODULE(id, name) put_text(t.text[id], name);
#include "pmem_modules.def"
#undef PMEM_MODULE
    return t;
}
constexpr ModuleNames kModuleNames = build_module_names();

constexpr bool module_names_sound() {
    for (const auto &name : kModuleNames.text) {
        size_t n = c_strlen(name);
        if (n == 0 || n > kModuleNameMax) return false;
    }
    return c_streq(kModuleNames.text[0], "default");
}
static_assert(module_names_sound());

}  // namespace

// ---- exported tables -----------------------------------------------------

#define PMEM_NAME1(i) kModuleNames.text[i]
#define PMEM_NAME4(i) PMEM_NAME1(i), PMEM_NAME1(i + 1), PMEM_NAME1(i + 2), PMEM_NAME1(i + 3)
#define PMEM_NAME16(i) PMEM_NAME4(i), PMEM_NAME4(i + 4), PMEM_NAME4(i + 8), PMEM_NAME4(i + 12)
#define PMEM_NAME64(i) PMEM_NAME16(i), PMEM_NAME16(i + 16), PMEM_NAME16(i + 32), PMEM_NAME16(i + 48)

extern "C" {
AP_API extern const uint32_t pmem_pool_sizes[PMEM_POOL_ID_N] = {PMEM_POOL_SIZE_LIST};
AP_API pmem_pool pmem_pools[PMEM_POOL_ID_N];
AP_API uint16_t order_to_pool[kOrderN];
AP_API pool_statis pmem_pool_stats[PMEM_POOL_ID_N];
AP_API module_statis pmem_module_stats[PMEM_MID_N];
AP_API extern const char *const pmem_module_names[PMEM_MID_N] = {PMEM_NAME64(0), PMEM_NAME64(64),
                                                                 PMEM_NAME1(128)};
AP_API int pmem_inited;
}

#undef PMEM_NAME64
#undef PMEM_NAME16
#undef PMEM_NAME4
#undef PMEM_NAME1

namespace {

// ---- header --------------------------------------------------------------

// A header that fails here belongs to a released, overwritten or foreign
// block; its pool and module must not index the tables.
[[noreturn, gnu::cold, gnu::noinline]] void header_check_failed() {
    abort();
}

// [memory checkers] A released slot is closed to AddressSanitizer and
// memcheck (private/plex_block.h), yet releasing it again must still end in the
// abort below rather than in a tool report, so its header is read unchecked.
struct HeaderFields {
    uint64_t magic;
    uint16_t pool_id, mid;
    uint8_t flags;
};

// Out of line only when a checker is built in: an unchecked function cannot be
// inlined into checked code, and the release path should not pay a call for it.
#if defined(PLEX_ASAN) || defined(PLEX_VALGRIND)
#define PMEM_HEADER_READ [[gnu::noinline, gnu::no_sanitize_address]]
#else
#define PMEM_HEADER_READ inline
#endif

PMEM_HEADER_READ HeaderFields read_header(const pmem_header *h) {
#ifdef PLEX_VALGRIND
    VALGRIND_DISABLE_ERROR_REPORTING;
#endif
    HeaderFields f = {h->magic, h->pool_id, h->mid, h->flags};
#ifdef PLEX_VALGRIND
    VALGRIND_ENABLE_ERROR_REPORTING;
#endif
    return f;
}

void pmem_header_check(const pmem_header *header) {
    HeaderFields h = read_header(header);
    if (h.magic != PMEM_MAGIC || h.pool_id >= PMEM_POOL_ID_N || h.mid >= PMEM_MID_N ||
        (h.flags & PMEM_FLAG_FREED))
        header_check_failed();
}

size_t usable_size(const pmem_header *h) {
    if (h->pool_id == kSystemPool) return ap_sys_usable_size(h) - PMEM_HEADER_SIZE;
    return kPoolSizes[h->pool_id];
}

// ---- size to pool --------------------------------------------------------

// The plex pool of every request up to 8192 bytes, by its size in 16-byte
// units rounded up: one load on the allocation path.  Pool 0 is kept for
// size 0, so unit 0 (and size 0 only) maps to it.
struct ClassTable {
    uint8_t pool[8192 / 16 + 1];
};

constexpr ClassTable build_class_table() {
    ClassTable t{};
    unsigned p = 0;
    for (unsigned units = 0; units <= 8192 / 16; units++) {
        while (kPoolSizes[p] < units * 16)
            p++;
        t.pool[units] = static_cast<uint8_t>(p);
    }
    return t;
}
constexpr ClassTable kClassOf = build_class_table();
static_assert(kClassOf.pool[0] == 0 && kClassOf.pool[1] == 1 && kClassOf.pool[2] == 2 &&
              kClassOf.pool[8192 / 16] == kPlexPools - 1);

// Requires s <= 1 GiB.
inline unsigned pmem_size2id(uint64_t s) {
    return s <= 8192 ? kClassOf.pool[(s + 15) / 16] : kSystemPool;
}

// ---- peaks and live bytes -------------------------------------------------
//
// The exported counter tables cannot grow (C hosts rely on their layout), so
// what pmem keeps beside them lives here.  A plex-backed pool's most live
// allocations are its plex's peak using_num, which the plex already keeps;
// only the system pool needs its own.  A module's bytes are counted by every
// pool that serves it, so with threads two pools may change them at once:
// its live bytes are one shared counter, whose successive values are those
// of some serial order of the calls, so the peak taken from them is exact.

// Each module's on a cache line of its own: threads charging different
// modules share none.  The ceiling sits there too, so that testing whether a
// module has one loads a line its allocation needs anyway.
struct alignas(64) module_bytes {
    uint64_t live;        // usable bytes held now
    uint64_t peak;        // most usable bytes held at once
    uint64_t limit;       // ceiling on requested bytes; 0: none
    uint64_t pending;     // requests that passed the ceiling and are being served
    uint64_t over_limit;  // requests the ceiling refused
    ap_lock lock;         // the ceiling's test and reservations; unused without one
};
static_assert(sizeof(module_bytes) == 64);
module_bytes s_module_bytes[PMEM_MID_N];
uint64_t s_system_pool_peak;  // most live pool-26 allocations

// The order of the steps lets a reader that sees alloc_size and free_size at
// one moment trust that their difference is at most the peak: the peak is
// raised before an allocation shows in alloc_size, and a release shows in
// free_size before it leaves the live bytes.
template <bool kThreaded>
inline void module_allocated(module_statis *module, uint16_t mid, size_t usable) {
    module_bytes &m = s_module_bytes[mid];
    ap_raise_peak<kThreaded>(&m.peak, ap_count_shared<kThreaded>(&m.live, usable));
    ap_count_shared<kThreaded>(&module->alloc_size, usable);
}

template <bool kThreaded>
inline void module_released(module_statis *module, uint16_t mid, size_t usable) {
    ap_count_shared<kThreaded>(&module->free_size, usable);
    ap_count_shared<kThreaded>(&s_module_bytes[mid].live, -uint64_t{usable});
}

inline bool has_limit(uint16_t mid) {
    return ap_read(&s_module_bytes[mid].limit) != 0;
}

// Nonzero while some module has a ceiling or some pool may be poisoned: the
// allocation and release paths test this one word, then leave their fast
// copies.  It counts kExtraLimit per module with a ceiling and kExtraPoison
// per holder of the poison switch (pmem_set_poison); changed only by atomic
// adds, so racing settings cannot leave it wrong.
uint32_t s_extras;
constexpr uint32_t kExtraLimit = 1, kExtraPoison = 1u << 16;

inline bool extras_on() {
    return __atomic_load_n(&s_extras, __ATOMIC_RELAXED) != 0;
}

// For the paths that do not split by thread count ahead.
void module_allocated_any(module_statis *module, uint16_t mid, size_t usable) {
    ap_threaded() ? module_allocated<true>(module, mid, usable)
                  : module_allocated<false>(module, mid, usable);
}

void module_released_any(module_statis *module, uint16_t mid, size_t usable) {
    ap_threaded() ? module_released<true>(module, mid, usable)
                  : module_released<false>(module, mid, usable);
}

// ---- live large areas -------------------------------------------------------
//
// Pool 26's areas lie in no pool block; their headers are kept here so that
// the live walk can visit them and the preload can recognise them.  The lock
// guards the set and pool 26's counters (its own and the modules' entries
// for it), which no plex lock covers.
ap_lock s_large_lock;
ptr_set s_large;

void take_modules() {
    for (module_bytes &m : s_module_bytes)
        ap_lock_take(&m.lock, kRankPmemModule, true);
}
void give_modules() {
    for (module_bytes &m : s_module_bytes)
        ap_lock_give(&m.lock, kRankPmemModule);
}

// ---- poisoned releases ------------------------------------------------------
//
// When switched on, a slot released to a plex pool has its caller's area
// filled with kPoisonByte, and a released slot handed out again is checked
// for it: a write through a stale pointer stops the process at the next
// hand-out of the slot.  The free-list link lives in the header's magic, so
// the caller's area is free to fill.  Each pool fills and checks only while
// its own flag, flipped under its lock, is set; switching on fills the slots
// already free first, so no slot is ever checked that was not filled.
//
// The paths test s_extras before the pool's flag.  For the release, which
// must not miss a fill, s_extras holds kExtraPoison whenever a pool flag may
// be set: the switch is taken before the setting says on, and given back
// only after an off has been followed by every pool.  A pool flag set under
// the pool's lock was set from a setting stored after such a take, so a
// release under that lock sees the take, and no give of it that could come
// before the flag is cleared.  The hand-out may look at s_extras stale: that
// only skips a check.
// Pool 26 is not poisoned: its areas go back to the system allocator, which
// writes its own bookkeeping into them and hands them out again itself.

constexpr unsigned char kPoisonByte = 0xa5;
constexpr uint64_t kPoisonWord = 0x0101010101010101ULL * kPoisonByte;

bool s_poison_wanted;              // the setting; read and written atomically
bool s_pool_poisoned[kPlexPools];  // per pool, under the pool's lock

inline void poison_fill(pmem_header *h, unsigned id) {
    memset(h->mem, kPoisonByte, kPoolSizes[id]);
}

// One line through write(2), as a failed check prints: the heap is damaged.
[[noreturn, gnu::cold, gnu::noinline]] void poison_damaged(const pmem_header *h, unsigned id,
                                                           size_t at) {
    const unsigned mid = h->mid;  // kept by the release, outside the area checked
    char buf[256];
    const int n = snprintf(buf, sizeof buf,
                           "pmem: use after release: %s slot %p released by module %s damaged "
                           "at offset %zu\n",
                           pmem_pool_label_internal(id), static_cast<const void *>(h->mem),
                           mid < PMEM_MID_N ? pmem_module_names[mid] : "?", at);
    if (n > 0) {
        ssize_t ignored = write(STDERR_FILENO, buf, std::min(size_t(n), sizeof buf - 1));
        (void)ignored;
    }
    abort();
}

// Slot sizes are multiples of 16, so the area is read a word at a time.
void poison_check(const pmem_header *h, unsigned id) {
    for (size_t at = 0; at < kPoolSizes[id]; at += 8) {
        uint64_t w;
        memcpy(&w, h->mem + at, 8);
        if (w != kPoisonWord) [[unlikely]] {
            while (h->mem[at] == kPoisonByte)
                at++;
            poison_damaged(h, id, at);
        }
    }
}

// With the pool's lock held and its flag set.  Only a slot that comes off a
// free list was filled; a never-used one holds whatever its block's memory did.
[[gnu::noinline]] void *poison_checked_alloc(auto_plex *plex, unsigned id) {
    const auto_plex_block *b = plex->first_free_block;
    const bool released = b && b->ctl.free_list;
    void *slot = plex_pool_alloc(plex);
    if (slot && released) poison_check(static_cast<pmem_header *>(slot), id);
    return slot;
}

// The slots on the free lists of a pool's blocks (no other block holds
// released slots: a block given back starts empty when it is used again).
// They are closed to the memory checkers and are opened only while written.
void poison_free_slots(auto_plex *plex, unsigned id) {
    const plex_directory &dir = plex_ext_of(plex)->dir;
    for (uint32_t b = 0; b < dir.count; b++)
        for (char *s = static_cast<char *>(dir.block[b]->ctl.free_list); s;) {
            char *next = static_cast<char *>(plex_read_link(s));
            plex_slots_close(s, sizeof next);
            auto *h = reinterpret_cast<pmem_header *>(s);
            plex_mem_open(h->mem, kPoolSizes[id]);
            poison_fill(h, id);
            plex_slots_close(h->mem, kPoolSizes[id]);
            s = next;
        }
}

// Brings every pool to the setting.  Each pool reads it under its own lock,
// so whichever call sets it last, every pool ends up following the value it
// left.
void poison_follow_setting() {
    for (unsigned id = 0; id < kPlexPools; id++) {
        auto_plex *plex = &pmem_pools[id].pool_plex;
        ap_guard g(plex_lock_of(plex), kRankPlex);
        const bool on = __atomic_load_n(&s_poison_wanted, __ATOMIC_SEQ_CST);
        if (on && !s_pool_poisoned[id]) poison_free_slots(plex, id);
        s_pool_poisoned[id] = on;
    }
}

// ---- allocation core -----------------------------------------------------
//
// A pool's counters, and each module's counts for that pool, change under
// the pool's lock, together with the slot and its header: a report or a walk
// holding the lock sees the three agree.

inline void write_header(pmem_header *pmem, unsigned id, uint16_t mid) {
    LIBAP_CHECK_MSG(reinterpret_cast<uintptr_t>(pmem) % 16 == 0,
                    "(u64)pmem->mem == round_pow2((u64)pmem->mem, sizeof(long double))");
    pmem->magic = PMEM_MAGIC;
    pmem->pool_id = static_cast<uint16_t>(id);
    pmem->mid = mid;
    pmem->flags &= static_cast<uint8_t>(~PMEM_FLAG_FREED);
}

// With the pool's lock held.
template <bool kThreaded = true>
inline void count_allocation(unsigned id, module_statis *module, void *block) {
    if (block) {
        ap_count_locked<kThreaded>(&pmem_pool_stats[id].alloc_count);
        ap_count_locked<kThreaded>(&module->alloc_count[id]);
    } else {
        ap_count_locked<kThreaded>(&pmem_pool_stats[id].fail_count);
        ap_count_locked<kThreaded>(&module->fail_count[id]);
    }
}

// Failures made by fault injection, counted in fail_count like any and here
// apart: per pool under the pool's lock, per module (served by many pools)
// by atomic adds.
uint64_t s_pool_injected[PMEM_POOL_ID_N];
uint64_t s_module_injected[PMEM_MID_N];

// Only asked while injection is armed.
[[gnu::noinline, gnu::cold]] bool inject_fail(uint16_t mid, unsigned id, size_t size) {
    return ap_inject_fail({kInjectPmem, mid, static_cast<int32_t>(id), nullptr, size});
}

// An injected failure: nothing but the counts changes, under the locks a
// real shortage counts under.
[[gnu::noinline, gnu::cold]] void *refuse_injected(unsigned id, uint16_t mid) {
    {
        ap_guard g(id == kSystemPool ? &s_large_lock : plex_lock_of(&pmem_pools[id].pool_plex),
                   id == kSystemPool ? kRankPoolCounters : kRankPlex);
        count_allocation(id, &pmem_module_stats[mid], nullptr);
        ap_count_locked(&s_pool_injected[id]);
    }
    __atomic_add_fetch(&s_module_injected[mid], 1, __ATOMIC_RELAXED);
    return nullptr;
}

// `charge`: false when the caller grows the module's live bytes itself.
[[gnu::noinline]] void *allocate_large(uint16_t mid, size_t size, bool zeroed = false,
                                       bool charge = true) {
    module_statis *module = &pmem_module_stats[mid];
    // Room in the set first, so recording the area cannot fail after it; the
    // system allocator is called without the lock, so another thread may
    // take that room meanwhile and the reservation is made again.
    bool room;
    {
        ap_guard g(&s_large_lock, kRankPoolCounters);
        room = ptr_set_reserve(&s_large, 1);
    }
    // An idle area up to an eighth larger serves too: the usable size follows
    // the area, and what it wastes is bounded where a refill's page faults
    // would not be.
    const size_t need = round_pow2(size, 16) + PMEM_HEADER_SIZE;
    void *block = room ? plex_release_obtain_internal(need, need + need / 8, zeroed) : nullptr;
    const size_t usable = block ? ap_sys_usable_size(block) - PMEM_HEADER_SIZE : 0;
    {
        ap_guard g(&s_large_lock, kRankPoolCounters);
        if (block && !ptr_set_reserve(&s_large, 1)) {
            ap_sys_free(block);
            block = nullptr;
        }
        count_allocation(kSystemPool, module, block);
        if (!block) [[unlikely]]
            return nullptr;
        LIBAP_CHECK_MSG(usable >= size, "id < PMEM_POOL_ID_N && pool->size >= size");
        write_header(static_cast<pmem_header *>(block), kSystemPool, mid);
        ptr_set_insert(&s_large, reinterpret_cast<uintptr_t>(block));
        const pool_statis &st = pmem_pool_stats[kSystemPool];
        s_system_pool_peak = std::max(s_system_pool_peak, st.alloc_count - st.free_count);
    }
    auto_plex_taken_up_internal(usable + PMEM_HEADER_SIZE);
    if (charge) module_allocated_any(module, mid, usable);
    return static_cast<pmem_header *>(block)->mem;
}

// A plex pool's allocation.  The thread count is asked once, and a
// single-threaded process runs a copy of the code without locks.
// kCharge: false when the caller grows the module's live bytes itself.
// kExtras: whether the pool's poison flag is looked at (the fast copy, taken
// while no extra is switched on, leaves it).
template <bool kThreaded, bool kCharge = true, bool kExtras = false>
inline void *allocate_in(unsigned id, uint16_t mid) {
    auto_plex *plex = &pmem_pools[id].pool_plex;
    module_statis *module = &pmem_module_stats[mid];
    void *block;
    {
        ap_guard g(kThreaded ? plex_lock_of(plex) : nullptr, kRankPlex, kThreaded);
        if (kExtras && s_pool_poisoned[id])
            block = poison_checked_alloc(plex, id);
        else
            block = plex_pool_alloc(plex);
        count_allocation<kThreaded>(id, module, block);
        if (!block) [[unlikely]]
            return nullptr;
        write_header(static_cast<pmem_header *>(block), id, mid);
    }
    if constexpr (kCharge) module_allocated<kThreaded>(module, mid, kPoolSizes[id]);
    return static_cast<pmem_header *>(block)->mem;
}

// Out of line, so that it costs the single-threaded copy no registers.
[[gnu::noinline]] void *allocate_locked(unsigned id, uint16_t mid) {
    return allocate_in<true>(id, mid);
}

// A module with a ceiling.  The test and the reservation of the request are
// one step under the module's lock, and so are the end of the reservation and
// the growth of the live bytes: at every moment live + pending counts each
// request that passed once, so of two threads at the boundary only one
// passes.  The allocation runs between the two steps under the pool's lock
// alone; the two locks are never held together.  Releases lower the live
// bytes without the module's lock: a test can only see too many bytes, for
// a release that had not finished yet.
[[gnu::noinline]] void *allocate_limited(uint16_t mid, size_t size, unsigned id, bool zeroed) {
    module_bytes &m = s_module_bytes[mid];
    module_statis *module = &pmem_module_stats[mid];
    const bool threaded = ap_threaded();
    bool refused;
    {
        ap_guard g(&m.lock, kRankPmemModule, threaded);
        const uint64_t limit = ap_read(&m.limit);
        refused = limit != 0 &&
                  static_cast<unsigned __int128>(ap_read(&m.live)) + m.pending + size > limit;
        if (refused)
            ap_count_locked(&m.over_limit);
        else
            m.pending += size;
    }
    if (refused) {
        // The module's failure in the pool the request was for, under that
        // pool's lock like its other counts; the pool's own fail_count stays,
        // as the pool did not run short.
        const bool large = id == kSystemPool;
        ap_guard g(large ? &s_large_lock : plex_lock_of(&pmem_pools[id].pool_plex),
                   large ? kRankPoolCounters : kRankPlex, threaded);
        ap_count_locked(&module->fail_count[id]);
        return nullptr;
    }
    void *mem = id == kSystemPool ? allocate_large(mid, size, zeroed, false)
                : threaded        ? allocate_in<true, false, true>(id, mid)
                                  : allocate_in<false, false, true>(id, mid);
    ap_guard g(&m.lock, kRankPmemModule, threaded);
    m.pending -= size;
    if (mem) module_allocated_any(module, mid, usable_size(pmem_header_of(mem)));
    return mem;
}

// allocate() while a ceiling or poisoning is switched on anywhere.  A stale
// look at the switches can only skip a check of a reused slot: the release
// path reads the pool's own flag under its lock, so no slot goes unfilled.
[[gnu::noinline]] void *allocate_extras(uint16_t mid, size_t size, unsigned id) {
    if (has_limit(mid)) return allocate_limited(mid, size, id, false);
    if (id == kSystemPool) return allocate_large(mid, size);
    return ap_threaded() ? allocate_in<true, true, true>(id, mid)
                         : allocate_in<false, true, true>(id, mid);
}

// The allocation of pmem_malloc once pmem_inited and mid are checked: the
// size's pool, the slot, the header and the counters, each computed once.
inline void *allocate(uint16_t mid, size_t size) {
    if (size > PMEM_MAX_SIZE) return nullptr;
    const unsigned id = pmem_size2id(size);
    // Injection first: a failure it makes is one the request could have met
    // before any ceiling was looked at.
    if (ap_inject_armed() && inject_fail(mid, id, size)) [[unlikely]]
        return refuse_injected(id, mid);
    if (extras_on()) [[unlikely]]
        return allocate_extras(mid, size, id);
    if (id == kSystemPool) [[unlikely]]
        return allocate_large(mid, size);
    if (ap_threaded()) [[unlikely]]
        return allocate_locked(id, mid);
    return allocate_in<false>(id, mid);
}

// With the pool's lock held, for a header that names the pool and lies in
// it: the whole check again, so that of two threads releasing one pointer
// the second one stops.  Clearing the magic makes every later release of the
// pointer fail the check for as long as the memory stays with pmem.
template <bool kThreaded = true>
inline void release_locked(pmem_header *h, unsigned id) {
    pmem_header_check(h);
    ap_count_locked<kThreaded>(&pmem_pool_stats[id].free_count);
    ap_count_locked<kThreaded>(&pmem_module_stats[h->mid].free_count[id]);
    h->flags |= PMEM_FLAG_FREED;
    h->magic = 0;
}

// A pool-26 header the set does not hold is no live large area (released
// already, or never one): nothing changes and false comes back.
bool release_large(pmem_header *h) {
    {
        ap_guard g(&s_large_lock, kRankPoolCounters);
        if (!ptr_set_erase(&s_large, reinterpret_cast<uintptr_t>(h))) return false;
        release_locked(h, kSystemPool);
    }
    const size_t usable = usable_size(h);
    module_released_any(&pmem_module_stats[h->mid], h->mid, usable);
    auto_plex_released_internal(h, usable + PMEM_HEADER_SIZE);
    return true;
}

// The pool that a header names, read before its lock is taken: a pool id
// past the table must not pick a lock.
inline unsigned checked_pool_of(const pmem_header *h) {
    const unsigned id = read_header(h).pool_id;
    if (id >= PMEM_POOL_ID_N) header_check_failed();
    return id;
}

// release_in under the pool's lock, the header checked, while some extra is
// switched on: apart from the fast copy, so that the fast copy keeps its
// registers.  The module's bytes go down with the lock still held, which
// costs the other threads of the pool only the wait for one atomic add.
template <bool kThreaded>
[[gnu::noinline]] void release_extras(pmem_header *h, unsigned id, uint32_t hint) {
    auto_plex *plex = &pmem_pools[id].pool_plex;
    const uint16_t mid = h->mid;
    if (s_pool_poisoned[id]) poison_fill(h, id);  // before the slot closes to the checkers
    if (!plex_pool_free(plex, h, hint)) [[unlikely]]
        auto_plex_free_refused_internal(plex);
    module_released<kThreaded>(&pmem_module_stats[mid], mid, kPoolSizes[id]);
}

template <bool kThreaded>
inline void release_in(pmem_header *h, unsigned id, uint32_t hint) {
    auto_plex *plex = &pmem_pools[id].pool_plex;
    uint16_t mid;
    {
        ap_guard g(kThreaded ? plex_lock_of(plex) : nullptr, kRankPlex, kThreaded);
        release_locked<kThreaded>(h, id);
        if (extras_on()) [[unlikely]]
            return release_extras<kThreaded>(h, id, hint);
        mid = h->mid;
        if (!plex_pool_free(plex, h, hint)) [[unlikely]]
            auto_plex_free_refused_internal(plex);  // a foreign pointer
    }
    module_released<kThreaded>(&pmem_module_stats[mid], mid, kPoolSizes[id]);
}

[[gnu::noinline]] void release_locked_in(pmem_header *h, unsigned id, uint32_t hint) {
    release_in<true>(h, id, hint);
}

// The block is looked up from the pointer while the header is still loading:
// its record and head are on their way before the header names the pool.
inline void release(pmem_header *h) {
    const uint32_t hint = granule_map_hint(h);
    const unsigned id = checked_pool_of(h);
    if (id == kSystemPool) [[unlikely]] {
        if (!release_large(h)) header_check_failed();
        return;
    }
    if (ap_threaded()) [[unlikely]]
        return release_locked_in(h, id, hint);
    release_in<false>(h, id, hint);
}

char *copy_string(uint16_t mid, const char *s, size_t len) {
    char *copy = static_cast<char *>(allocate(mid, len + 1));
    if (copy) {
        memcpy(copy, s, len);
        copy[len] = '\0';
    }
    return copy;
}

// The system allocator's strndup, through the seam like every pre-init call.
char *sys_strndup(const char *s, size_t n) {
    size_t len = strnlen(s, n);
    char *copy = static_cast<char *>(ap_sys_malloc(len + 1));
    if (copy) {
        memcpy(copy, s, len);
        copy[len] = '\0';
    }
    return copy;
}

// pmem_inited is exported as a plain int; every call reads it once, and
// pmem_init publishes it last, after the pools and tables it announces.
inline bool inited() {
    return __atomic_load_n(&pmem_inited, __ATOMIC_ACQUIRE) != 0;
}

bool s_init_started;

}  // namespace

// ---- start-up and allocation interface ------------------------------------

extern "C" {

AP_API int pmem_init(void) {
    if (__atomic_exchange_n(&s_init_started, true, __ATOMIC_ACQ_REL)) abort();
    ap_settings_load_once();  // before the pools: poisoning and ceilings apply from the start
    ap_fork_register_lock<&s_large_lock, kRankPoolCounters>();
    ap_fork_register(kRankPmemModule, {take_modules, give_modules});
    // The table is constant and checked at compile time; the run-time check
    // stays so a patched table in a shipped binary stops before any pool is
    // touched.
    for (uint32_t size : pmem_pool_sizes)
        if (round_pow2(size, 16) != size) abort();

    // The loops run over the tables themselves, so none can run past its end.
    for (pmem_pool &pool : pmem_pools) {
        const unsigned p = static_cast<unsigned>(&pool - pmem_pools);
        pool.size = pmem_pool_sizes[p];
        pool.max_num = 0;
        snprintf(pool.name, sizeof pool.name, "pmem_pool_%u", pool.size);
        // The system pool's control block stays all zero and unregistered.
        if (p == kSystemPool)
            memset(&pool.pool_plex, 0, sizeof pool.pool_plex);
        else if (auto_plex_init(&pool.pool_plex, uint64_t{pool.size} + PMEM_HEADER_SIZE,
                                pool.max_num, pool.name) < 0)
            abort();
    }

    build_order_table(pmem_pool_sizes, order_to_pool);
    for (module_statis &st : pmem_module_stats)
        st.name = pmem_module_names[&st - pmem_module_stats];
    for (pool_statis &st : pmem_pool_stats)
        st.name = pmem_pools[&st - pmem_pool_stats].name;
    // Sequentially consistent, as is pmem_set_poison's store of the setting
    // and its load of pmem_inited: of a racing switch and this, at least one
    // sees the other's store and brings the pools to the setting.
    __atomic_store_n(&pmem_inited, 1, __ATOMIC_SEQ_CST);
    poison_follow_setting();
    return 0;
}

AP_API void *pmem_malloc(uint16_t mid, size_t size) {
    if (!inited()) return ap_sys_malloc(size);
    LIBAP_CHECK(mid < PMEM_MID_N);
    return allocate(mid, size);
}

AP_API void *pmem_calloc(uint16_t mid, size_t count, size_t size) {
    if (!inited()) return ap_sys_calloc(count, size);
    LIBAP_CHECK(mid < PMEM_MID_N);
    // A wrapped product would hand out a short area that the caller then
    // overruns; refuse it like any request above 1 GiB.
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) return nullptr;
    // A large area is zeroed by the system allocator, which skips the pages it
    // knows to be fresh: memset would fault in every one of them.
    if (n <= PMEM_MAX_SIZE && pmem_size2id(n) == kSystemPool) {
        if (ap_inject_armed() && inject_fail(mid, kSystemPool, n))
            return refuse_injected(kSystemPool, mid);
        return has_limit(mid) ? allocate_limited(mid, n, kSystemPool, true)
                              : allocate_large(mid, n, true);
    }
    void *mem = allocate(mid, n);
    if (mem && n) memset(mem, 0, n);
    return mem;
}

AP_API void *pmem_realloc(uint16_t mid, void *ptr, size_t size) {
    if (!inited()) return ap_sys_realloc(ptr, size);
    LIBAP_CHECK(mid < PMEM_MID_N);
    if (!ptr) return allocate(mid, size);
    pmem_header *old = pmem_header_of(ptr);
    // The whole check, not just the magic: pool and module index the tables.
    // (The release checks again under the pool's lock.)
    pmem_header_check(old);
    if (size == 0) {
        release(old);
        return allocate(mid, 0);
    }
    if (size > PMEM_MAX_SIZE) return nullptr;

    unsigned id = pmem_size2id(size);
    // Pool 26 always moves: its usable size is whatever the system allocator
    // rounded to, which says nothing about the new request.
    if (id == old->pool_id && id != kSystemPool && old->mid == mid) return ptr;

    void *mem = allocate(mid, size);
    if (!mem) return nullptr;
    size_t old_size = usable_size(old);
    memcpy(mem, ptr, old_size < size ? old_size : size);
    release(old);
    return mem;
}

AP_API void pmem_free(void *ptr) {
    if (!inited()) {
        ap_sys_free(ptr);
        return;
    }
    if (!ptr) return;
    release(pmem_header_of(ptr));
}

AP_API char *pmem_strdup(uint16_t mid, const char *s) {
    if (!s) return nullptr;
    if (!inited()) return ap_sys_strdup(s);
    LIBAP_CHECK(mid < PMEM_MID_N);
    return copy_string(mid, s, strlen(s));
}

AP_API char *pmem_strndup(uint16_t mid, const char *s, size_t n) {
    if (!s) return nullptr;
    if (!inited()) return sys_strndup(s, n);
    LIBAP_CHECK(mid < PMEM_MID_N);
    return copy_string(mid, s, strnlen(s, n));
}

// A slot is live unless it lies past the block's never-used mark or on its
// free list; the free list is read into a bitmap first, since a released
// slot may still hold a header that looks live.
// Each pool is walked under its lock, so a thread allocating from it waits
// for the walk of that pool (and `fn` must not call pmem at all).
AP_API long pmem_walk_live(int mid, pmem_live_fn fn, void *ctx) {
    LIBAP_CHECK(fn);
    LIBAP_CHECK(mid < PMEM_MID_N);
    if (!inited()) return 0;
    // No block of an unbounded plex has more slots than its step.
    uint64_t most_slots = 0;
    for (unsigned p = 0; p < kPlexPools; p++)
        most_slots = std::max(most_slots, pmem_pools[p].pool_plex.step_alloc_num);
    auto *released = static_cast<uint64_t *>(ap_sys_calloc((most_slots + 63) / 64 + 1, 8));
    if (!released) return -12;
    long calls = 0;
    bool stop = false;
    auto visit = [&](pmem_header *h, unsigned pool) {
        if (mid >= 0 && h->mid != mid) return;
        const pmem_live_area area = {h->mem, usable_size(h), static_cast<uint16_t>(pool), h->mid};
        calls++;
        stop = fn(&area, ctx) != 0;
    };
    for (unsigned p = 0; p < kPlexPools && !stop; p++) {
        ap_guard g(plex_lock_of(&pmem_pools[p].pool_plex), kRankPlex);
        const plex_directory &dir = plex_ext_of(&pmem_pools[p].pool_plex)->dir;
        for (uint32_t b = 0; b < dir.count && !stop; b++) {
            const plex &ctl = dir.block[b]->ctl;
            char *start = get_start_ptr(&ctl);
            const uint64_t ever = (plex_head_of(&ctl)->fresh_slot - start) / ctl.item_size;
            memset(released, 0, (ever + 63) / 64 * 8);
            for (char *s = static_cast<char *>(ctl.free_list); s;) {
                const uint64_t k = (s - start) / ctl.item_size;
                released[k / 64] |= uint64_t{1} << (k % 64);
                char *next = static_cast<char *>(plex_read_link(s));
                plex_slots_close(s, sizeof next);  // released slots stay closed to the checkers
                s = next;
            }
            for (uint64_t k = 0; k < ever && !stop; k++)
                if (!(released[k / 64] >> (k % 64) & 1))
                    visit(reinterpret_cast<pmem_header *>(start + k * ctl.item_size), p);
        }
    }
    {
        ap_guard g(&s_large_lock, kRankPoolCounters);
        for (size_t i = 0; i < s_large.cap && !stop; i++)
            if (s_large.slots[i])
                visit(reinterpret_cast<pmem_header *>(s_large.slots[i]), kSystemPool);
    }
    ap_sys_free(released);
    return calls;
}

AP_API int pmem_set_module_mem_limit(size_t limit, uint16_t mid) {
    LIBAP_CHECK(mid < PMEM_MID_N);
    ap_settings_load_once();  // so that the environment never overrides a call
    const uint64_t was = __atomic_exchange_n(&s_module_bytes[mid].limit, limit, __ATOMIC_RELAXED);
    if (!was != !limit)
        __atomic_add_fetch(&s_extras, limit ? kExtraLimit : -kExtraLimit, __ATOMIC_RELAXED);
    return 0;
}

// The switch in s_extras: an on takes it before storing the setting and
// gives it back when the setting was on already (its holder keeps one); the
// off that turns the setting off gives the holder's back once every pool
// has followed.
AP_API int pmem_set_poison(int on) {
    ap_settings_load_once();
    bool was;
    if (on) {
        __atomic_add_fetch(&s_extras, kExtraPoison, __ATOMIC_SEQ_CST);
        was = __atomic_exchange_n(&s_poison_wanted, true, __ATOMIC_SEQ_CST);
        if (was) __atomic_sub_fetch(&s_extras, kExtraPoison, __ATOMIC_SEQ_CST);
    } else {
        was = __atomic_exchange_n(&s_poison_wanted, false, __ATOMIC_SEQ_CST);
    }
    if (__atomic_load_n(&pmem_inited, __ATOMIC_SEQ_CST)) poison_follow_setting();
    if (!on && was) __atomic_sub_fetch(&s_extras, kExtraPoison, __ATOMIC_SEQ_CST);
    return 0;
}

AP_API size_t pmem_ptr2size(const void *ptr) {
    if (!ptr) return 0;
    return usable_size(pmem_header_of(ptr));
}

}  // extern "C"

// ---- read by the reports and the preload ------------------------------------------

pmem_pool_figures pmem_pool_figures_internal(unsigned pool) {
    const pool_statis &st = pmem_pool_stats[pool];
    auto read = [&](uint64_t peak) {
        return pmem_pool_figures{st.alloc_count, st.free_count, st.fail_count, peak,
                                 s_pool_injected[pool]};
    };
    if (pool == kSystemPool) {
        ap_guard g(&s_large_lock, kRankPoolCounters);
        return read(s_system_pool_peak);
    }
    const auto_plex *plex = &pmem_pools[pool].pool_plex;
    plex_guard g(plex);
    return read(plex_peak_internal(plex));
}

uint64_t pmem_module_peak_internal(unsigned mid) {
    return ap_read(&s_module_bytes[mid].peak);
}

uint64_t pmem_module_limit_internal(unsigned mid) {
    return ap_read(&s_module_bytes[mid].limit);
}

uint64_t pmem_module_over_limit_internal(unsigned mid) {
    return ap_read(&s_module_bytes[mid].over_limit);
}

bool pmem_poison_internal() {
    return __atomic_load_n(&s_poison_wanted, __ATOMIC_RELAXED);
}

uint64_t pmem_module_injected_internal(unsigned mid) {
    return ap_read(&s_module_injected[mid]);
}

// Before pmem_init the counter records have no names yet; the reports then
// print the names pmem_init will give.
const char *pmem_pool_label_internal(unsigned pool) {
    return pmem_pool_stats[pool].name ? pmem_pool_stats[pool].name : kPoolNames.text[pool];
}

const char *pmem_module_label_internal(unsigned mid) {
    return pmem_module_stats[mid].name ? pmem_module_stats[mid].name : pmem_module_names[mid];
}

size_t pmem_large_capacity_internal() {
    ap_guard g(&s_large_lock, kRankPoolCounters);
    return s_large.cap;
}

// The bytes in front of a pointer prove nothing (in front of a system
// allocator's block lie its own bookkeeping and a neighbour's tail); the pool
// they name confirms them, under its lock: its directory finds the header in
// one of its blocks, or the set of live large areas holds it.
bool pmem_owns_internal(const void *ptr) {
    if (!ptr || !inited()) return false;
    const pmem_header *h = pmem_header_of(ptr);
    const HeaderFields f = read_header(h);
    if (f.magic != PMEM_MAGIC && !(f.flags & PMEM_FLAG_FREED)) return false;
    if (f.pool_id < kPlexPools) {
        const auto_plex *plex = &pmem_pools[f.pool_id].pool_plex;
        plex_guard g(plex);
        return auto_plex_find_block_internal(plex, h) != nullptr;
    }
    if (f.pool_id != kSystemPool) return false;
    ap_guard g(&s_large_lock, kRankPoolCounters);
    return ptr_set_contains(&s_large, reinterpret_cast<uintptr_t>(h));
}

bool pmem_release_if_owned_internal(void *ptr) {
    if (!ptr || !inited()) return false;
    pmem_header *h = pmem_header_of(ptr);
    const HeaderFields f = read_header(h);
    if (f.magic != PMEM_MAGIC && !(f.flags & PMEM_FLAG_FREED)) return false;
    if (f.pool_id == kSystemPool) return release_large(h);
    if (f.pool_id >= kPlexPools) return false;
    auto_plex *plex = &pmem_pools[f.pool_id].pool_plex;
    uint16_t mid;
    {
        ap_guard g(plex_lock_of(plex), kRankPlex);
        if (!auto_plex_find_block_internal(plex, h)) return false;
        release_locked(h, f.pool_id);
        mid = h->mid;
        if (s_pool_poisoned[f.pool_id]) poison_fill(h, f.pool_id);
        plex_pool_free(plex, h);  // the block was just found
    }
    module_released_any(&pmem_module_stats[mid], mid, kPoolSizes[f.pool_id]);
    return true;
}
