// mem_statis: the module table and the accounted wrappers.
//
// Owned state (process-wide, zero at load, never released):
//   s_statis_array     heap table of records (statis_record: the public entry
//                      and its peak) indexed by module id; grows by doubling
//                      (32 records first) and may move, so records are
//                      addressed by id only, never by a kept pointer
//   s_statis_id        registered modules, and the id the next name gets
//   s_statis_capacity  records the table has room for
// Invariants between calls:
//   0 <= s_statis_id <= s_statis_capacity; records below s_statis_id have
//   distinct non-null names and mem_alloced >= 0; records from s_statis_id
//   up are all zero, so a new module starts with empty counters.
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

statis_record *s_statis_array;
int32_t s_statis_id;
int32_t s_statis_capacity;

constexpr int32_t kFirstCapacity = 32;

inline mem_statis_entry *entry(int module_id) {
    return &s_statis_array[module_id].pub;
}

// After module_id's account has grown.  The peak shares the record's cache
// line, which the growth has just written.
inline void note_peak(int module_id) {
    statis_record &r = s_statis_array[module_id];
    r.peak_mem_alloced = std::max(r.peak_mem_alloced, r.pub.mem_alloced);
}

// Reallocation keeps the old table in place when it fails, so existing ids
// stay valid; the capacity is only raised once the memory is ours.
bool grow_table() {
    if (s_statis_capacity > INT32_MAX / 2) return false;
    int32_t capacity = s_statis_capacity ? 2 * s_statis_capacity : kFirstCapacity;
    void *grown = ap_sys_realloc(s_statis_array, size_t(capacity) * sizeof(statis_record));
    if (!grown) return false;
    s_statis_array = static_cast<statis_record *>(grown);
    memset(s_statis_array + s_statis_capacity, 0,
           size_t(capacity - s_statis_capacity) * sizeof(statis_record));
    s_statis_capacity = capacity;
    return true;
}

int64_t usable_size(const void *ptr) {
    return static_cast<int64_t>(ap_sys_usable_size(ptr));
}

// The ceiling test on requested bytes: refused when what the module would
// hold after the call (request + held - released) exceeds a nonzero limit.
// Worked in 128 bits so that no sum or difference can wrap and let a huge
// request through as a small one.  A refusal is counted here.
bool refused_by_limit(mem_statis_entry *e, size_t request, size_t released) {
    if (e->limit == 0) return false;
    __int128 projected = static_cast<__int128>(request) + e->mem_alloced - released;
    if (projected <= static_cast<__int128>(e->limit)) return false;
    e->over_limit_failed++;
    return true;
}

}  // namespace

// Stands in each public function itself so that the assertion line names it.
// The lower bound comes first: a negative id (the -1 of a failed
// registration) must be stopped before it indexes the table.
#define MEM_STATIS_CHECK_ID(module_id)        \
    do {                                      \
        LIBAP_CHECK(module_id >= 0);          \
        LIBAP_CHECK(module_id < s_statis_id); \
    } while (0)

// After a decrease: an account below zero means a block was released or
// taken out under a module that never accounted it.
#define MEM_STATIS_CHECK_HELD(module_id)                \
    LIBAP_CHECK_MSG(entry(module_id)->mem_alloced >= 0, \
                    "s_statis_array[module_id].mem_alloced >= 0")

extern "C" {

AP_API int reg_module_id(const char *name) {
    if (!name) return -1;
    // Search before growth: a known name never allocates, even on a full table.
    for (int32_t id = 0; id < s_statis_id; id++)
        if (strcmp(entry(id)->module_name, name) == 0) return id;
    if (s_statis_capacity <= s_statis_id && !grow_table()) return -1;
    char *copy = ap_sys_strdup(name);
    if (!copy) return -1;
    entry(s_statis_id)->module_name = copy;
    return s_statis_id++;
}

AP_API int set_module_mem_limit(size_t limit, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    entry(module_id)->limit = limit;
    return 0;
}

AP_API void *malloc_with_statis(size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = entry(module_id);
    if (refused_by_limit(e, size, 0)) return nullptr;
    void *block = ap_sys_malloc(size);
    if (block) {
        e->mem_alloced += usable_size(block);
        note_peak(module_id);
    }
    return block;
}

AP_API void *calloc_with_statis(size_t count, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = entry(module_id);
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        // No such block can exist: over any ceiling, and without one the
        // allocator's answer is known, so it is not asked.
        if (e->limit != 0) e->over_limit_failed++;
        return nullptr;
    }
    if (refused_by_limit(e, bytes, 0)) return nullptr;
    void *block = ap_sys_calloc(count, size);
    if (block) {
        e->mem_alloced += usable_size(block);
        note_peak(module_id);
    }
    return block;
}

AP_API void *realloc_with_statis(void *ptr, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = entry(module_id);
    if (ptr && size == 0) {
        // glibc's realloc(ptr, 0) releases the block and returns null, which
        // looks like a failed resize; left to it, the block's bytes would stay
        // in the account with nothing left to free.  Releasing here keeps the
        // account right, checks it before the block goes, and never refuses
        // a call that can only lower the holding.
        e->mem_alloced -= usable_size(ptr);
        MEM_STATIS_CHECK_HELD(module_id);
        ap_sys_free(ptr);
        return nullptr;
    }
    int64_t old_size = ptr ? usable_size(ptr) : 0;
    if (refused_by_limit(e, size, size_t(old_size))) return nullptr;
    void *block = ap_sys_realloc(ptr, size);
    if (!block) return nullptr;
    e->mem_alloced -= old_size;
    MEM_STATIS_CHECK_HELD(module_id);
    e->mem_alloced += usable_size(block);
    note_peak(module_id);
    return block;
}

AP_API void free_with_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    entry(module_id)->mem_alloced -= usable_size(ptr);
    // Before the release: a block freed under the wrong module stops the
    // process while the block is still intact for the post-mortem.
    MEM_STATIS_CHECK_HELD(module_id);
    ap_sys_free(ptr);
}

AP_API void inc_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    entry(module_id)->mem_alloced += usable_size(ptr);
    note_peak(module_id);
}

AP_API void dec_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    entry(module_id)->mem_alloced -= usable_size(ptr);
    MEM_STATIS_CHECK_HELD(module_id);
}

}  // extern "C"

// ---- read by the reports and the tests ---------------------------------------

mem_statis_table mem_statis_table_internal() {
    return {s_statis_array, s_statis_id, s_statis_capacity};
}

void mem_statis_reset_internal() {
    for (int32_t id = 0; id < s_statis_id; id++)
        ap_sys_free(entry(id)->module_name);
    ap_sys_free(s_statis_array);
    s_statis_array = nullptr;
    s_statis_id = 0;
    s_statis_capacity = 0;
}
