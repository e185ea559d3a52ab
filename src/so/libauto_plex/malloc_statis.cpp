// mem_statis: the module table, the accounted wrappers and their reports.
//
// Owned state (process-wide, zero at load, never released):
//   s_statis_array     heap table of records indexed by module id; grows by
//                      doubling (32 records first) and may move, so records
//                      are addressed by id only, never by a kept pointer
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

#include <malloc.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <type_traits>

#include "ap_check.h"
#include "ap_report.h"
#include "ap_sys.h"
#include "malloc_statis_internal.h"
#include "ap_stats_internal.h"  // [peaks]

static_assert(std::is_standard_layout_v<mem_statis_entry>);
static_assert(sizeof(mem_statis_entry) == 32, "C hosts read this layout");
static_assert(sizeof(ssize_t) == sizeof(int64_t), "the reports print 64-bit values with %zd");

namespace {

mem_statis_entry *s_statis_array;
int32_t s_statis_id;
int32_t s_statis_capacity;

constexpr int32_t kFirstCapacity = 32;

// [peaks] The table's allocation also holds, past its `capacity` records, one
// peak of mem_alloced per record.  The public record cannot grow, and a
// second allocation would make growth two steps that can fail apart; this
// way registration still makes one system call or none.
constexpr size_t kSlotBytes = sizeof(mem_statis_entry) + sizeof(int64_t);
static_assert(sizeof(mem_statis_entry) % alignof(int64_t) == 0);

int64_t *peaks_of(mem_statis_entry *array, int32_t capacity) {
    return reinterpret_cast<int64_t *>(array + capacity);
}

// [peaks] After module_id's account has grown.
inline void note_peak(int module_id) {
    int64_t held = s_statis_array[module_id].mem_alloced;
    int64_t *peak = peaks_of(s_statis_array, s_statis_capacity) + module_id;
    if (held > *peak) *peak = held;
}

// Reallocation keeps the old table in place when it fails, so existing ids
// stay valid; the capacity is only raised once the memory is ours.
bool grow_table() {
    if (s_statis_capacity > INT32_MAX / 2) return false;
    int32_t capacity = s_statis_capacity ? 2 * s_statis_capacity : kFirstCapacity;
    void *grown = ap_sys_realloc(s_statis_array, size_t(capacity) * kSlotBytes);
    if (!grown) return false;
    s_statis_array = static_cast<mem_statis_entry *>(grown);
    // [peaks] The old peaks lie where the new records go: move them up first.
    int32_t added = capacity - s_statis_capacity;
    memmove(peaks_of(s_statis_array, capacity), peaks_of(s_statis_array, s_statis_capacity),
            size_t(s_statis_capacity) * sizeof(int64_t));
    memset(peaks_of(s_statis_array, capacity) + s_statis_capacity, 0,
           size_t(added) * sizeof(int64_t));
    memset(s_statis_array + s_statis_capacity, 0, size_t(added) * sizeof(mem_statis_entry));
    s_statis_capacity = capacity;
    return true;
}

int64_t usable_size(void *ptr) {
    return static_cast<int64_t>(malloc_usable_size(ptr));
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

extern "C" {

AP_API int reg_module_id(const char *name) {
    if (!name) return -1;
    // Search before growth: a known name never allocates, even on a full table.
    for (int32_t id = 0; id < s_statis_id; id++)
        if (strcmp(s_statis_array[id].module_name, name) == 0) return id;
    if (s_statis_capacity <= s_statis_id && !grow_table()) return -1;
    char *copy = ap_sys_strdup(name);
    if (!copy) return -1;
    s_statis_array[s_statis_id].module_name = copy;
    return s_statis_id++;
}

AP_API int set_module_mem_limit(size_t limit, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    s_statis_array[module_id].limit = limit;
    return 0;
}

AP_API void *malloc_with_statis(size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = &s_statis_array[module_id];
    if (refused_by_limit(e, size, 0)) return nullptr;
    void *block = ap_sys_malloc(size);
    if (block) {
        e->mem_alloced += usable_size(block);
        note_peak(module_id);  // [peaks]
    }
    return block;
}

AP_API void *calloc_with_statis(size_t count, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = &s_statis_array[module_id];
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
        note_peak(module_id);  // [peaks]
    }
    return block;
}

AP_API void *realloc_with_statis(void *ptr, size_t size, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    mem_statis_entry *e = &s_statis_array[module_id];
    if (ptr && size == 0) {
        // glibc's realloc(ptr, 0) releases the block and returns null, which
        // looks like a failed resize; left to it, the block's bytes would stay
        // in the account with nothing left to free.  Releasing here keeps the
        // account right, checks it before the block goes, and never refuses
        // a call that can only lower the holding.
        e->mem_alloced -= usable_size(ptr);
        LIBAP_CHECK(s_statis_array[module_id].mem_alloced >= 0);
        ap_sys_free(ptr);
        return nullptr;
    }
    int64_t old_size = ptr ? usable_size(ptr) : 0;
    if (refused_by_limit(e, size, size_t(old_size))) return nullptr;
    void *block = ap_sys_realloc(ptr, size);
    if (!block) return nullptr;
    e->mem_alloced -= old_size;
    LIBAP_CHECK(s_statis_array[module_id].mem_alloced >= 0);
    e->mem_alloced += usable_size(block);
    note_peak(module_id);  // [peaks]
    return block;
}

AP_API void free_with_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    s_statis_array[module_id].mem_alloced -= usable_size(ptr);
    // Before the release: a block freed under the wrong module stops the
    // process while the block is still intact for the post-mortem.
    LIBAP_CHECK(s_statis_array[module_id].mem_alloced >= 0);
    ap_sys_free(ptr);
}

AP_API void inc_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    s_statis_array[module_id].mem_alloced += usable_size(ptr);
    note_peak(module_id);  // [peaks]
}

AP_API void dec_mem_statis(void *ptr, int module_id) {
    MEM_STATIS_CHECK_ID(module_id);
    if (!ptr) return;
    s_statis_array[module_id].mem_alloced -= usable_size(ptr);
    LIBAP_CHECK(s_statis_array[module_id].mem_alloced >= 0);
}

// ---- reports ---------------------------------------------------------------
//
// Both texts are interface: operators diff the file, log pipelines key on the
// routine name and line number of each callback call.  The reports only read
// the table.  Record values go out as ssize_t to match "%zd".

AP_API void mem_statis_debug(const char *path) {
    // Only modules worth a look: above 1 MiB, or refused by their ceiling.
    constexpr int64_t kListedAbove = 1048576;

    FILE *f = ap_report_open(path, "w+");
    if (!f) return;
    fprintf(f, "========[module_statis]---ppid:%u pid:%u=======\n", ap_report_ppid(),
            ap_report_pid());
    int64_t total = 0;
    for (int32_t id = 0; id < s_statis_id; id++) {
        const mem_statis_entry &e = s_statis_array[id];
        if (e.mem_alloced > kListedAbove || e.over_limit_failed != 0) {
            fprintf(f, "module_name:%s alloc_mem:%zd", e.module_name, ssize_t(e.mem_alloced));
            if (e.over_limit_failed != 0)
                fprintf(f, " limit:%zd over_limit_failed:%zd", ssize_t(e.limit),
                        ssize_t(e.over_limit_failed));
            fputc('\n', f);
        }
        total += e.mem_alloced;
    }
    fprintf(f, "[summary]---total_allocated_mem:%zd----\n", ssize_t(total));
    ap_report_close(f);
}

AP_API void mem_statis_debug_rt(app_log_rt_fn app_log_rt) {
    if (!app_log_rt) return;
    constexpr const char *kRoutine = "mem_statis_debug_rt";

    constexpr int kBeginLine = 195;
    app_log_rt(kRoutine, kBeginLine,
               "------------------------------BEGIN----------------------------------\n");
    constexpr int kPidLine = 196;
    app_log_rt(kRoutine, kPidLine, "-----------ppid:%u pid:%u------------------\n",
               ap_report_ppid(), ap_report_pid());
    constexpr int kMallinfoTitleLine = 197;
    app_log_rt(kRoutine, kMallinfoTitleLine, "=============mallinfo()=================\n");

    // One snapshot, so the ten figures agree with each other.
    struct mallinfo mi = ap_report_mallinfo();
    constexpr int kArenaLine = 200;
    app_log_rt(kRoutine, kArenaLine, "Total non-mmapped bytes (arena):       %d\n", mi.arena);
    constexpr int kOrdblksLine = 201;
    app_log_rt(kRoutine, kOrdblksLine, "# of free chunks (ordblks):            %d\n", mi.ordblks);
    constexpr int kSmblksLine = 202;
    app_log_rt(kRoutine, kSmblksLine, "# of free fastbin blocks (smblks):     %d\n", mi.smblks);
    constexpr int kHblksLine = 203;
    app_log_rt(kRoutine, kHblksLine, "# of mapped regions (hblks):           %d\n", mi.hblks);
    constexpr int kHblkhdLine = 204;
    app_log_rt(kRoutine, kHblkhdLine, "Bytes in mapped regions (hblkhd):      %d\n", mi.hblkhd);
    constexpr int kUsmblksLine = 205;
    app_log_rt(kRoutine, kUsmblksLine, "Max. total allocated space (usmblks):  %d\n", mi.usmblks);
    constexpr int kFsmblksLine = 206;
    app_log_rt(kRoutine, kFsmblksLine, "Free bytes held in fastbins (fsmblks): %d\n", mi.fsmblks);
    constexpr int kUordblksLine = 207;
    app_log_rt(kRoutine, kUordblksLine, "Total allocated space (uordblks):      %d\n", mi.uordblks);
    constexpr int kFordblksLine = 208;
    app_log_rt(kRoutine, kFordblksLine, "Total free space (fordblks):           %d\n", mi.fordblks);
    constexpr int kKeepcostLine = 209;
    app_log_rt(kRoutine, kKeepcostLine, "Topmost releasable block (keepcost):   %d\n", mi.keepcost);

    constexpr int kModuleTitleLine = 210;
    app_log_rt(kRoutine, kModuleTitleLine, "=============module_statis=================\n");
    constexpr int kModuleLine = 213;
    int64_t total = 0;
    for (int32_t id = 0; id < s_statis_id; id++) {
        const mem_statis_entry &e = s_statis_array[id];
        app_log_rt(kRoutine, kModuleLine,
                   "module_name:%s alloc_mem:%zd limit:%zd over_limit_failed:%zd\n", e.module_name,
                   ssize_t(e.mem_alloced), ssize_t(e.limit), ssize_t(e.over_limit_failed));
        total += e.mem_alloced;
    }
    constexpr int kSummaryLine = 220;
    app_log_rt(kRoutine, kSummaryLine, "[summary]----------total_allocated_mem:%zd------------\n",
               ssize_t(total));
}

}  // extern "C"

// ---- [peaks] read by ap_stats.cpp -------------------------------------------------

mem_statis_view mem_statis_view_internal() {
    if (!s_statis_array) return {nullptr, nullptr, 0};
    return {s_statis_array, peaks_of(s_statis_array, s_statis_capacity), s_statis_id};
}

// ---- test hooks --------------------------------------------------------------

mem_statis_table_view mem_statis_table_internal() {
    return {s_statis_array, s_statis_id, s_statis_capacity};
}

void mem_statis_reset_internal() {
    for (int32_t id = 0; id < s_statis_id; id++)
        ap_sys_free(s_statis_array[id].module_name);
    ap_sys_free(s_statis_array);
    s_statis_array = nullptr;
    s_statis_id = 0;
    s_statis_capacity = 0;
}
