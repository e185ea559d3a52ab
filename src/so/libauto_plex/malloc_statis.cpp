// mem_statis: the module table and the accounted wrappers.
//
// Owned state (process-wide, zero at load, never released):
//   s_chunks           the records (statis_record: the public entry, its
//                      peak, its pending bytes and its lock), indexed by
//                      module id through chunks of 32, 32, 64, 128, ...
//                      records; a chunk never moves once made, so a record
//                      can be reached while the table grows
//   s_statis_id        registered modules, and the id the next name gets;
//                      published after the record it admits is complete
//   s_statis_capacity  records the chunks have room for
//   s_registry_lock    serialises registration (and guards s_chunks)
// Invariants between calls:
//   0 <= s_statis_id <= s_statis_capacity; records below s_statis_id have
//   distinct non-null names and mem_alloced >= 0; records from s_statis_id
//   up are all zero, so a new module starts with empty counters.
//
// A record's counters change under its lock; the ceiling test and the
// reservation it grants are one step, so threads racing at a module's
// ceiling cannot pass it together.
//
// Byte counts are malloc_usable_size at the moment a block enters or leaves
// an account; nothing is stored beside the blocks.  Where the blocks are
// glibc's chunks that size is read from the chunk itself, which spares each
// accounted call a second call into the allocator (see usable_size).
#include "malloc_statis.h"

#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <type_traits>

#include "platform/ap_check.h"
#include "platform/ap_inject.h"
#include "platform/ap_sys.h"
#include "private/malloc_statis_private.h"
#include "private/settings.h"

static_assert(std::is_standard_layout_v<mem_statis_entry>);
static_assert(sizeof(mem_statis_entry) == 32, "C hosts read this layout");
static_assert(std::is_standard_layout_v<statis_record> && offsetof(statis_record, pub) == 0);

namespace {

constexpr int32_t kFirstCapacity = 32;
// Chunk 0 holds ids 0..31; chunk k >= 1 the ids from 2^(k+4) to twice that.
constexpr unsigned kMaxChunks = 32 - 4;

statis_record *s_chunks[kMaxChunks];
void *s_chunk_memory[kMaxChunks];  // what the system allocator returned for each
uint32_t s_chunk_count;
int32_t s_statis_id;
int32_t s_statis_capacity;
ap_lock s_registry_lock;

inline int32_t registered() {
    return __atomic_load_n(&s_statis_id, __ATOMIC_ACQUIRE);
}

inline statis_record *record(int32_t id) {
    const auto u = static_cast<uint32_t>(id);
    if (u < kFirstCapacity) return &s_chunks[0][u];
    const unsigned log2 = 31 - static_cast<unsigned>(__builtin_clz(u));
    return &s_chunks[log2 - 4][u - (uint32_t{1} << log2)];
}

inline mem_statis_entry *entry(int module_id) {
    return &record(module_id)->pub;
}

// After module_id's account has grown; its lock is held.
inline void note_peak(statis_record *r) {
    r->peak_mem_alloced = std::max(r->peak_mem_alloced, r->pub.mem_alloced);
}

// Another chunk as large as the table so far (the first: 32 records), so
// the capacity doubles.  A failure leaves the table as it was, so existing
// ids stay valid; the capacity is only raised once the memory is ours.
bool grow_table() {
    if (s_chunk_count == kMaxChunks) return false;
    const int32_t records = s_statis_capacity ? s_statis_capacity : kFirstCapacity;
    void *mem = ap_sys_calloc(1, size_t(records) * sizeof(statis_record) + alignof(statis_record));
    if (!mem) return false;
    s_chunk_memory[s_chunk_count] = mem;
    s_chunks[s_chunk_count++] = reinterpret_cast<statis_record *>(
        (reinterpret_cast<uintptr_t>(mem) + alignof(statis_record) - 1) &
        ~uintptr_t{alignof(statis_record) - 1});
    s_statis_capacity += records;
    return true;
}

// ---- usable sizes ----
//
// glibc keeps each chunk's size in the word just before the block (its
// malloc.c, "chunk details"): the low three bits are flags, IS_MMAPPED (2)
// among them, and malloc_usable_size of a chunk in use is that size less the
// size word, or less the two-word header of a chunk mmapped on its own.
// Reading it replaces a call into the allocator by a load from a line the
// caller is about to touch anyway.
//
// Only glibc's chunks are laid out so: the seam says whether its blocks are
// (asked once, at the first accounted block).  Even then the reading is used
// for a kind of chunk (heap, mmapped) only once it has agreed with
// ap_sys_usable_size on kAgreements blocks of that kind; one disagreement
// turns it off for the process.  The blocks checked are the host's own
// first ones rather than probe blocks made for the purpose, so the calls
// into the allocator stay exactly those the host asked for (the test seam
// refuses its n-th call) and each kind is checked on blocks really met.
constexpr size_t kChunkFlags = 7;
constexpr size_t kChunkMmapped = 2;
constexpr int kAgreements = 8;

// How usable sizes are found, one word so that the fast path loads it once:
// bit k set, the size of a chunk of kind k (0 heap, 1 mmapped) is read;
// kAsked, the seam has been asked whether its blocks are glibc's chunks;
// kOff, they are not, or a reading disagreed.  Once kOff is there the word
// never changes again.
enum : unsigned { kKindBits = 3, kAsked = 4, kOff = 8 };
unsigned s_size_reading;
int s_agreed[2];  // blocks of each kind on which the reading agreed

inline size_t chunk_word(const void *ptr) {
    return static_cast<const size_t *>(ptr)[-1];
}
inline unsigned chunk_kind(size_t word) {
    return (word & kChunkMmapped) != 0;
}
inline size_t chunk_usable(size_t word) {
    return (word & ~kChunkFlags) - (1 + chunk_kind(word)) * sizeof(size_t);
}

// Adds `bits` to the word unless the reading is off; kOff clears the kinds.
void note_reading(unsigned bits) {
    unsigned seen = __atomic_load_n(&s_size_reading, __ATOMIC_RELAXED);
    while (!(seen & kOff)) {
        const unsigned next = bits & kOff ? (seen & ~kKindBits) | bits : seen | bits;
        if (__atomic_compare_exchange_n(&s_size_reading, &seen, next, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return;
    }
}

// The allocator's answer, compared with the reading while that is on trial.
[[gnu::noinline]] int64_t asked_usable_size(const void *ptr) {
    const size_t asked = ap_sys_usable_size(ptr);
    unsigned reading = __atomic_load_n(&s_size_reading, __ATOMIC_RELAXED);
    if (!(reading & kAsked)) {
        note_reading(ap_sys_glibc_chunks() ? kAsked : kAsked | kOff);
        reading = __atomic_load_n(&s_size_reading, __ATOMIC_RELAXED);
    }
    if (reading & kOff) return static_cast<int64_t>(asked);
    const size_t word = chunk_word(ptr);
    if (chunk_usable(word) != asked)
        note_reading(kOff);
    else if (__atomic_add_fetch(&s_agreed[chunk_kind(word)], 1, __ATOMIC_RELAXED) == kAgreements)
        note_reading(1u << chunk_kind(word));
    return static_cast<int64_t>(asked);
}

inline int64_t usable_size(const void *ptr) {
    const unsigned reading = __atomic_load_n(&s_size_reading, __ATOMIC_RELAXED);
    if (reading & kKindBits) {
        const size_t word = chunk_word(ptr);
        if (reading >> chunk_kind(word) & 1) return static_cast<int64_t>(chunk_usable(word));
    }
    return asked_usable_size(ptr);
}

// What a call adds to the holding: a shrinking resize gives its room back
// only once it has succeeded.
inline size_t growth(size_t request, size_t released) {
    return request > released ? request - released : 0;
}

// The ceiling test on requested bytes, with the record's lock held: refused
// when what the module would hold after the call (request + held + pending
// - released) exceeds a nonzero limit.  Worked in 128 bits so that no sum or
// difference can wrap and let a huge request through as a small one.  A
// refusal is counted here.
bool refused_by_limit(statis_record *r, size_t request, size_t released) {
    mem_statis_entry *e = &r->pub;
    if (e->limit == 0) return false;
    __int128 projected = static_cast<__int128>(request) + e->mem_alloced +
                         static_cast<__int128>(r->pending) - released;
    if (projected <= static_cast<__int128>(e->limit)) return false;
    e->over_limit_failed++;
    return true;
}

// A block's usable size enters the account; the record's lock is held.
inline void grow(statis_record *r, int64_t bytes) {
    r->pub.mem_alloced += bytes;
    note_peak(r);
}

// grow and take_out for a single-threaded process inline, the locked forms
// out of line, so that the common path saves no registers for a lock.
[[gnu::noinline]] void grow_locked(statis_record *r, int64_t bytes) {
    ap_guard g(&r->lock, kRankStatisRecord, true);
    grow(r, bytes);
}
inline void add_in(statis_record *r, int64_t bytes) {
    ap_threaded() ? grow_locked(r, bytes) : grow(r, bytes);
}

// Takes a block's usable size out of the account; returns what is left, for
// the caller to check.
[[gnu::noinline]] int64_t take_out_locked(statis_record *r, int64_t bytes) {
    ap_guard g(&r->lock, kRankStatisRecord, true);
    return r->pub.mem_alloced -= bytes;
}
inline int64_t take_out(statis_record *r, int64_t bytes) {
    return ap_threaded() ? take_out_locked(r, bytes) : r->pub.mem_alloced -= bytes;
}

// The allocation of malloc_with_statis and calloc_with_statis with other
// threads about: the test and the reservation under the lock, the system
// allocator without it.  A request that passes is added to the pending bytes
// until its block is accounted, so that racing threads cannot pass the
// ceiling together.
template <class Allocate>
[[gnu::noinline]] void *accounted_locked(statis_record *r, size_t bytes, Allocate &&allocate) {
    {
        ap_guard g(&r->lock, kRankStatisRecord, true);
        if (refused_by_limit(r, bytes, 0)) return nullptr;
        r->pending += bytes;
    }
    void *block = allocate();
    const int64_t got = block ? usable_size(block) : 0;
    ap_guard g(&r->lock, kRankStatisRecord, true);
    r->pending -= bytes;
    if (block) grow(r, got);
    return block;
}

// Alone, nothing can come between the test and the growth, so nothing is
// reserved and no lock taken.
template <class Allocate>
inline void *accounted(int module_id, size_t bytes, Allocate &&allocate) {
    statis_record *r = record(module_id);
    if (ap_threaded()) return accounted_locked(r, bytes, allocate);
    if (refused_by_limit(r, bytes, 0)) return nullptr;
    void *block = allocate();
    if (block) grow(r, usable_size(block));
    return block;
}

// Whether an accounted call fails by fault injection; the record then counts
// it and the account stays as it is.  Only asked while injection is armed.
[[gnu::noinline, gnu::cold]] bool injected(int module_id, size_t bytes) {
    if (!ap_inject_fail({kInjectStatis, -1, -1, entry(module_id)->module_name, bytes}))
        return false;
    statis_record *r = record(module_id);
    ap_guard g(&r->lock, kRankStatisRecord);
    ap_count_locked(&r->injected);
    return true;
}

void take_registry() {
    ap_lock_take(&s_registry_lock, kRankStatisRegistry);
}
void give_registry() {
    ap_lock_give(&s_registry_lock, kRankStatisRegistry);
}
// The registry lock is held: no record comes or goes.
void take_records() {
    for (int32_t id = 0; id < s_statis_id; id++)
        ap_lock_take(&record(id)->lock, kRankStatisRecord, true);
}
void give_records() {
    for (int32_t id = 0; id < s_statis_id; id++)
        ap_lock_give(&record(id)->lock, kRankStatisRecord);
}

}  // namespace

// Stands in each public function itself so that the assertion line names it.
// The lower bound comes first: a negative id (the -1 of a failed
// registration) must be stopped before it indexes the table.
#define MEM_STATIS_CHECK_ID(module_id)                                        \
    do {                                                                      \
        LIBAP_CHECK(module_id >= 0);                                          \
        LIBAP_CHECK_MSG(module_id < registered(), "module_id < s_statis_id"); \
    } while (0)

// After a decrease, on what the module holds (read under its lock): an
// account below zero means a block was released or taken out under a module
// that never accounted it.
#define MEM_STATIS_CHECK_HELD(held) \
    LIBAP_CHECK_MSG((held) >= 0, "s_statis_array[module_id].mem_alloced >= 0")

extern "C" {

AP_API int reg_module_id(const char *name) {
    ap_settings_load_once();
    if (!name) return -1;
    // Outside the registry lock: fork() runs the handlers with glibc's own
    // lock held, which pthread_atfork takes too.
    ap_fork_register(kRankStatisRegistry, {take_registry, give_registry});
    ap_fork_register(kRankStatisRecord, {take_records, give_records});
    ap_guard g(&s_registry_lock, kRankStatisRegistry);
    // Search before growth: a known name never allocates, even on a full table.
    for (int32_t id = 0; id < s_statis_id; id++)
        if (strcmp(entry(id)->module_name, name) == 0) return id;
    if (s_statis_capacity <= s_statis_id && !grow_table()) return -1;
    char *copy = ap_sys_strdup(name);
    if (!copy) return -1;
    entry(s_statis_id)->module_name = copy;
    __atomic_store_n(&s_statis_id, s_statis_id + 1, __ATOMIC_RELEASE);
    return s_statis_id - 1;
}

AP_API int set_module_mem_limit(size_t limit, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    statis_record *r = record(module_id);
    ap_guard g(&r->lock, kRankStatisRecord);
    r->pub.limit = limit;
    return 0;
}

AP_API void *malloc_with_statis(size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (ap_inject_armed() && injected(module_id, size)) [[unlikely]]
        return nullptr;
    return accounted(module_id, size, [size] { return ap_sys_malloc(size); });
}

AP_API void *calloc_with_statis(size_t count, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        // No such block can exist: over any ceiling, and without one the
        // allocator's answer is known, so it is not asked.
        statis_record *r = record(module_id);
        ap_guard g(&r->lock, kRankStatisRecord);
        if (r->pub.limit != 0) r->pub.over_limit_failed++;
        return nullptr;
    }
    if (ap_inject_armed() && injected(module_id, bytes)) [[unlikely]]
        return nullptr;
    return accounted(module_id, bytes, [count, size] { return ap_sys_calloc(count, size); });
}

AP_API void *realloc_with_statis(void *ptr, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    statis_record *r = record(module_id);
    if (ptr && size == 0) {
        // glibc's realloc(ptr, 0) releases the block and returns null, which
        // looks like a failed resize; left to it, the block's bytes would stay
        // in the account with nothing left to free.  Releasing here keeps the
        // account right, checks it before the block goes, and never refuses
        // a call that can only lower the holding.
        MEM_STATIS_CHECK_HELD(take_out(r, usable_size(ptr)));
        ap_sys_free(ptr);
        return nullptr;
    }
    const size_t old_size = ptr ? size_t(usable_size(ptr)) : 0;
    // A resize within the block's usable size allocates nothing.
    if (ap_inject_armed() && (!ptr || size > old_size) && injected(module_id, size)) [[unlikely]]
        return nullptr;
    const bool threaded = ap_threaded();
    {
        ap_guard g(&r->lock, kRankStatisRecord, threaded);
        if (refused_by_limit(r, size, old_size)) return nullptr;
        if (threaded) r->pending += growth(size, old_size);
    }
    void *block = ap_sys_realloc(ptr, size);
    const int64_t got = block ? usable_size(block) : 0;
    ap_guard g(&r->lock, kRankStatisRecord, threaded);
    if (threaded) r->pending -= growth(size, old_size);
    if (!block) return nullptr;
    r->pub.mem_alloced -= static_cast<int64_t>(old_size);
    MEM_STATIS_CHECK_HELD(r->pub.mem_alloced);
    grow(r, got);
    return block;
}

AP_API void free_with_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    // Before the release: a block freed under the wrong module stops the
    // process while the block is still intact for the post-mortem.
    MEM_STATIS_CHECK_HELD(take_out(record(module_id), usable_size(ptr)));
    ap_sys_free(ptr);
}

AP_API void inc_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (ptr) add_in(record(module_id), usable_size(ptr));
}

AP_API void dec_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (ptr) MEM_STATIS_CHECK_HELD(take_out(record(module_id), usable_size(ptr)));
}

}  // extern "C"

// ---- read by the reports and the tests ---------------------------------------

mem_statis_table mem_statis_table_internal() {
    ap_guard g(&s_registry_lock, kRankStatisRegistry);
    return {s_statis_id, s_statis_capacity, s_chunk_count};
}

const statis_record *mem_statis_record_internal(int32_t id) {
    return record(id);
}

mem_statis_figures mem_statis_figures_internal(int32_t id) {
    statis_record *r = record(id);
    ap_guard g(&r->lock, kRankStatisRecord);
    return {r->pub, r->peak_mem_alloced, r->injected};
}

bool mem_statis_reads_chunks_internal() {
    return (__atomic_load_n(&s_size_reading, __ATOMIC_RELAXED) & kKindBits) == kKindBits;
}

void mem_statis_reset_internal() {
    for (int32_t id = 0; id < s_statis_id; id++)
        ap_sys_free(entry(id)->module_name);
    for (uint32_t k = 0; k < s_chunk_count; k++)
        ap_sys_free(s_chunk_memory[k]);
    s_chunk_count = 0;
    s_statis_id = 0;
    s_statis_capacity = 0;
}
