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
// an account; nothing is stored beside the blocks.
#include "malloc_statis.h"

#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <type_traits>

#include "platform/ap_check.h"
#include "platform/ap_sys.h"
#include "private/malloc_statis_private.h"

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

int64_t usable_size(const void *ptr) {
    return static_cast<int64_t>(ap_sys_usable_size(ptr));
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
// refusal is counted here; a request that passes is added to the pending
// bytes until its block is accounted (settle).
bool refused_by_limit(statis_record *r, size_t request, size_t released) {
    mem_statis_entry *e = &r->pub;
    if (e->limit != 0) {
        __int128 projected = static_cast<__int128>(request) + e->mem_alloced +
                             static_cast<__int128>(r->pending) - released;
        if (projected > static_cast<__int128>(e->limit)) {
            e->over_limit_failed++;
            return true;
        }
    }
    r->pending += growth(request, released);
    return false;
}

// The allocation of malloc_with_statis and calloc_with_statis: the test and
// the reservation under the lock, the system allocator without it.
template <class Allocate>
void *accounted(int module_id, size_t bytes, Allocate &&allocate) {
    statis_record *r = record(module_id);
    {
        ap_guard g(&r->lock, kRankStatisRecord);
        if (refused_by_limit(r, bytes, 0)) return nullptr;
    }
    void *block = allocate();
    ap_guard g(&r->lock, kRankStatisRecord);
    r->pending -= bytes;
    if (block) {
        r->pub.mem_alloced += usable_size(block);
        note_peak(r);
    }
    return block;
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

// After a decrease, with the record's lock held: an account below zero
// means a block was released or taken out under a module that never
// accounted it.
#define MEM_STATIS_CHECK_HELD(module_id)                \
    LIBAP_CHECK_MSG(entry(module_id)->mem_alloced >= 0, \
                    "s_statis_array[module_id].mem_alloced >= 0")

extern "C" {

AP_API int reg_module_id(const char *name) {
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
        const int64_t bytes = usable_size(ptr);
        {
            ap_guard g(&r->lock, kRankStatisRecord);
            r->pub.mem_alloced -= bytes;
            MEM_STATIS_CHECK_HELD(module_id);
        }
        ap_sys_free(ptr);
        return nullptr;
    }
    const size_t old_size = ptr ? size_t(usable_size(ptr)) : 0;
    {
        ap_guard g(&r->lock, kRankStatisRecord);
        if (refused_by_limit(r, size, old_size)) return nullptr;
    }
    void *block = ap_sys_realloc(ptr, size);
    ap_guard g(&r->lock, kRankStatisRecord);
    r->pending -= growth(size, old_size);
    if (!block) return nullptr;
    r->pub.mem_alloced -= static_cast<int64_t>(old_size);
    MEM_STATIS_CHECK_HELD(module_id);
    r->pub.mem_alloced += usable_size(block);
    note_peak(r);
    return block;
}

AP_API void free_with_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    const int64_t bytes = usable_size(ptr);
    {
        statis_record *r = record(module_id);
        ap_guard g(&r->lock, kRankStatisRecord);
        r->pub.mem_alloced -= bytes;
        // Before the release: a block freed under the wrong module stops the
        // process while the block is still intact for the post-mortem.
        MEM_STATIS_CHECK_HELD(module_id);
    }
    ap_sys_free(ptr);
}

AP_API void inc_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    const int64_t bytes = usable_size(ptr);
    statis_record *r = record(module_id);
    ap_guard g(&r->lock, kRankStatisRecord);
    r->pub.mem_alloced += bytes;
    note_peak(r);
}

AP_API void dec_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    const int64_t bytes = usable_size(ptr);
    statis_record *r = record(module_id);
    ap_guard g(&r->lock, kRankStatisRecord);
    r->pub.mem_alloced -= bytes;
    MEM_STATIS_CHECK_HELD(module_id);
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
    return {r->pub, r->peak_mem_alloced};
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
