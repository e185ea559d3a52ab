// libauto_plex_preload: serves an unmodified program's malloc family from
// pmem (module 0) and appends pmem's and the pools' reports at exit.
//
// Owned state: one process-wide lock (pmem and the plexes take none), the
// side index of preload_index.h, and the configuration read at start-up.
//
// Invariants while g_lock is free:
//   - g_blocks holds exactly the address ranges of the blocks in the 26
//     plexes' using trees, and g_seen_expand/g_seen_clear the plexes'
//     count_expand/count_clear at the moment it was last brought up to date;
//   - g_large holds exactly the live pool-26 pointers;
//   - every other pointer the program holds came from glibc's allocator.
//
// Calls that arrive while this thread already holds the lock (t_inside) come
// from the preload itself: pmem's own malloc_usable_size, stdio and time
// functions of the exit report, dlsym and atexit at start-up.  They are
// served by glibc directly, so nothing recurses into pmem or waits on the
// lock this thread holds; what they hand out is a foreign pointer like any
// other.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "auto_plex.h"
#include "pmem.h"
#include "preload_index.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
void *__libc_memalign(size_t align, size_t size);
void *__libc_valloc(size_t size);
void *__libc_pvalloc(size_t size);
}

#define PRELOAD_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr unsigned kSystemPool = PMEM_POOL_ID_N - 1;
constexpr unsigned kPlexPools = PMEM_POOL_ID_N - 1;
constexpr size_t kPmemAlign = 16;  // every pmem pointer is 16-byte aligned
constexpr uint16_t kModule = 0;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
__thread bool t_inside __attribute__((tls_model("initial-exec")));

bool g_ready;
block_index g_blocks;
ptr_set g_large;
uint64_t g_seen_expand[kPlexPools];
uint64_t g_seen_clear[kPlexPools];
size_t (*g_glibc_usable_size)(void *);
char g_report_path[PATH_MAX];

// Requests that glibc served although pmem was running; shown in the report
// so a user sees how much of the program bypassed the size classes.
struct bypass_counts {
    uint64_t aligned;   // alignment above 16 bytes
    uint64_t huge;      // above pmem's 1 GiB ceiling
    uint64_t no_index;  // the side index could not grow
    uint64_t nested;    // made by the preload's own libc calls
};
bypass_counts g_bypass;

void bump(uint64_t *counter) {
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

// Through write(2): stderr's FILE lock may be held by a thread that is
// waiting for g_lock inside malloc.
[[gnu::format(printf, 1, 2)]] void warn(const char *fmt, ...) {
    char line[512];
    int n = snprintf(line, sizeof line, "libauto_plex_preload: ");
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
    size_t len = n < static_cast<int>(sizeof line) ? static_cast<size_t>(n) : sizeof line - 1;
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}

[[noreturn]] void die(const char *what) {
    warn("%s\n", what);
    abort();
}

// ---- plex blocks ------------------------------------------------------------

pmem_header *header_of(void *ptr) {
    return reinterpret_cast<pmem_header *>(static_cast<char *>(ptr) - PMEM_HEADER_SIZE);
}

const auto_plex_block *block_of(const avl_node *node) {
    return reinterpret_cast<const auto_plex_block *>(reinterpret_cast<const char *>(node) -
                                                     offsetof(auto_plex_block, tree_node));
}

block_range range_of(const auto_plex_block *b, unsigned pool) {
    const auto *head = static_cast<const plex_block_head *>(b->ctl.head);
    uintptr_t start = reinterpret_cast<uintptr_t>(b->ctl.head) + PLEX_BLOCK_HEAD_SIZE;
    return {start, start + uint64_t{head->alloc_num} * b->ctl.item_size, pool};
}

// The plex keeps its blocks in an address-ordered tree, lower addresses left.
const auto_plex_block *block_holding(const auto_plex *px, uintptr_t addr) {
    for (const avl_node *n = px->using_tree; n;) {
        block_range r = range_of(block_of(n), 0);
        if (addr < r.start)
            n = n->left;
        else if (addr >= r.end)
            n = n->right;
        else
            return block_of(n);
    }
    return nullptr;
}

// From scratch: at start-up (pre-allocated blocks) and whenever a plex's
// counters moved in a way one call cannot explain.
void rebuild_index() {
    size_t total = 0;
    for (unsigned p = 0; p < kPlexPools; p++)
        for (avl_node *n = avl_tree_first_in_order(pmem_pools[p].pool_plex.using_tree); n;
             n = avl_tree_next_in_order(n))
            total++;
    g_blocks.n = 0;
    if (!block_index_reserve(&g_blocks, total)) die("out of memory for the block index");
    for (unsigned p = 0; p < kPlexPools; p++) {
        const auto_plex *px = &pmem_pools[p].pool_plex;
        for (avl_node *n = avl_tree_first_in_order(px->using_tree); n;
             n = avl_tree_next_in_order(n))
            g_blocks.v[g_blocks.n++] = range_of(block_of(n), p);
        g_seen_expand[p] = px->count_expand;
        g_seen_clear[p] = px->count_clear;
    }
    block_index_sort(&g_blocks);
}

// Room for what one pmem call can add: one block range and one large pointer.
// Reserved before pmem acts, so recording its effect cannot fail.
bool make_room() {
    return block_index_reserve(&g_blocks, 1) && ptr_set_reserve(&g_large, 1);
}

// A slot from a new block is the only way an allocation adds a block.
void track_alloc(void *ptr) {
    unsigned pool = header_of(ptr)->pool_id;
    if (pool == kSystemPool) {
        ptr_set_insert(&g_large, reinterpret_cast<uintptr_t>(ptr));
        return;
    }
    const auto_plex *px = &pmem_pools[pool].pool_plex;
    if (px->count_expand == g_seen_expand[pool]) return;
    const auto_plex_block *b = block_holding(px, reinterpret_cast<uintptr_t>(header_of(ptr)));
    if (px->count_expand != g_seen_expand[pool] + 1 || !b) return rebuild_index();
    block_index_insert(&g_blocks, range_of(b, pool));
    g_seen_expand[pool] = px->count_expand;
}

// A release gives back at most the block that held the released slot.
void track_release(uintptr_t header, unsigned pool) {
    const auto_plex *px = &pmem_pools[pool].pool_plex;
    if (px->count_clear == g_seen_clear[pool]) return;
    if (px->count_clear != g_seen_clear[pool] + 1 || !block_index_erase(&g_blocks, header))
        return rebuild_index();
    g_seen_clear[pool] = px->count_clear;
}

// ---- ownership --------------------------------------------------------------

enum class owner { glibc, plex, large };

owner owner_of(void *ptr, unsigned *pool) {
    uintptr_t header = reinterpret_cast<uintptr_t>(ptr) - PMEM_HEADER_SIZE;
    if (const block_range *r = block_index_find(&g_blocks, header)) {
        *pool = r->pool;
        return owner::plex;
    }
    *pool = kSystemPool;
    return ptr_set_contains(&g_large, reinterpret_cast<uintptr_t>(ptr)) ? owner::large
                                                                        : owner::glibc;
}

size_t usable_size(void *ptr) {
    unsigned pool;
    return owner_of(ptr, &pool) == owner::glibc ? g_glibc_usable_size(ptr) : pmem_ptr2size(ptr);
}

// ---- start-up, fork, exit -----------------------------------------------------

void report_at_exit();

void read_config() {
    const char *path = getenv("AUTO_PLEX_REPORT");
    if (!path) return;
    size_t len = strlen(path);
    if (len == 0) return warn("AUTO_PLEX_REPORT is empty; no report will be written\n");
    // Fixed now: the program may change its working directory before exit.
    size_t dir_len = 0;
    if (path[0] != '/') {
        if (!getcwd(g_report_path, sizeof g_report_path))
            return warn(
                "AUTO_PLEX_REPORT=%s is relative and the working directory cannot be read "
                "(%s); no report will be written\n",
                path, strerror(errno));
        dir_len = strlen(g_report_path);
        g_report_path[dir_len++] = '/';
    }
    if (dir_len + len >= sizeof g_report_path) {
        g_report_path[0] = '\0';
        return warn("AUTO_PLEX_REPORT is longer than %d bytes; no report will be written\n",
                    PATH_MAX - 1);
    }
    memcpy(g_report_path + dir_len, path, len + 1);
    if (atexit(report_at_exit) != 0) {
        g_report_path[0] = '\0';
        warn("cannot register the exit report; no report will be written\n");
    }
}

// Ours run last among prepare handlers and first among parent/child ones
// (registered at the first malloc), so other handlers may still allocate.
void fork_prepare() {
    pthread_mutex_lock(&g_lock);
}
void fork_parent() {
    pthread_mutex_unlock(&g_lock);
}
// The child has only the forking thread, which took the lock in prepare and
// so may release it.
void fork_child() {
    pthread_mutex_unlock(&g_lock);
}

void start() {
    g_ready = true;
    g_glibc_usable_size =
        reinterpret_cast<size_t (*)(void *)>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    if (!g_glibc_usable_size) die("glibc's malloc_usable_size not found");
    pmem_init();
    rebuild_index();  // blocks exist already when the pre-allocation marker is present
    if (!ptr_set_reserve(&g_large, 1)) die("out of memory for the pointer set");
    read_config();
    if (pthread_atfork(fork_prepare, fork_parent, fork_child) != 0)
        die("cannot register the fork handlers");
}

// Holds g_lock for the scope and marks this thread as inside the preload.
class held {
  public:
    held() {
        pthread_mutex_lock(&g_lock);
        t_inside = true;
        if (__builtin_expect(!g_ready, 0)) start();
    }
    ~held() {
        t_inside = false;
        pthread_mutex_unlock(&g_lock);
    }
    held(const held &) = delete;
    held &operator=(const held &) = delete;
};

void report_at_exit() {
    held h;
    int fd = open(g_report_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return warn("cannot append the report to AUTO_PLEX_REPORT=%s: %s\n", g_report_path,
                    strerror(errno));
    close(fd);
    pmem_statis_debug(g_report_path);
    auto_plex_debug(g_report_path);
    FILE *f = fopen(g_report_path, "a");
    if (!f) return;
    fprintf(f,
            "[preload]---served_by_glibc aligned_above_16:%lu above_1GiB:%lu index_full:%lu "
            "preload_internal:%lu----\n",
            g_bypass.aligned, g_bypass.huge, g_bypass.no_index, g_bypass.nested);
    fclose(f);
}

// ---- serving, g_lock held ------------------------------------------------------

void *from_glibc(void *ptr, uint64_t *reason) {
    if (ptr) bump(reason);
    return ptr;
}

void *serve_malloc(size_t size) {
    if (size > PMEM_MAX_SIZE) return from_glibc(__libc_malloc(size), &g_bypass.huge);
    if (!make_room()) return from_glibc(__libc_malloc(size), &g_bypass.no_index);
    void *p = pmem_malloc(kModule, size);
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    track_alloc(p);
    return p;
}

void *serve_calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (bytes > PMEM_MAX_SIZE) return from_glibc(__libc_calloc(count, size), &g_bypass.huge);
    if (!make_room()) return from_glibc(__libc_calloc(count, size), &g_bypass.no_index);
    void *p = pmem_calloc(kModule, count, size);
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    track_alloc(p);
    return p;
}

void serve_free(void *ptr) {
    unsigned pool;
    switch (owner_of(ptr, &pool)) {
        case owner::glibc:
            __libc_free(ptr);
            return;
        case owner::large:
            pmem_free(ptr);
            ptr_set_erase(&g_large, reinterpret_cast<uintptr_t>(ptr));
            return;
        case owner::plex:
            pmem_free(ptr);
            track_release(reinterpret_cast<uintptr_t>(header_of(ptr)), pool);
            return;
    }
}

// Copies a pmem allocation into a glibc block of `size` bytes and releases
// it; the old allocation stays when glibc has no memory.
void *pmem_to_glibc(void *ptr, size_t size, uint64_t *reason) {
    void *q = __libc_malloc(size);
    if (!q) return nullptr;
    size_t old = pmem_ptr2size(ptr);
    memcpy(q, ptr, old < size ? old : size);
    serve_free(ptr);
    return from_glibc(q, reason);
}

void *serve_realloc(void *ptr, size_t size) {
    if (!ptr) return serve_malloc(size);
    // glibc's answer, which programs built against it may rely on: release
    // and return null (pmem itself would hand out a zero-size allocation).
    if (size == 0) {
        serve_free(ptr);
        return nullptr;
    }
    unsigned old_pool;
    owner o = owner_of(ptr, &old_pool);
    if (o == owner::glibc) {
        // Moved onto pmem so the program's memory ends up counted; realloc
        // promises no alignment beyond malloc's, so aligned blocks may move.
        if (size > PMEM_MAX_SIZE) return from_glibc(__libc_realloc(ptr, size), &g_bypass.huge);
        size_t old = g_glibc_usable_size(ptr);
        void *q = serve_malloc(size);
        if (!q) return nullptr;
        memcpy(q, ptr, old < size ? old : size);
        __libc_free(ptr);
        return q;
    }
    if (size > PMEM_MAX_SIZE) return pmem_to_glibc(ptr, size, &g_bypass.huge);
    if (!make_room()) return pmem_to_glibc(ptr, size, &g_bypass.no_index);
    void *q = pmem_realloc(kModule, ptr, size);
    if (!q) {
        errno = ENOMEM;
        return nullptr;
    }
    if (q == ptr) return q;
    track_alloc(q);
    if (o == owner::large)
        ptr_set_erase(&g_large, reinterpret_cast<uintptr_t>(ptr));
    else
        track_release(reinterpret_cast<uintptr_t>(header_of(ptr)), old_pool);
    return q;
}

// Nested: pmem is not in the middle of a call (only its usable-size lookup
// nests, and that never frees), so releasing a pmem pointer here is safe.
void *serve_realloc_nested(void *ptr, size_t size) {
    unsigned pool;
    if (!ptr || owner_of(ptr, &pool) == owner::glibc)
        return from_glibc(__libc_realloc(ptr, size), &g_bypass.nested);
    if (size == 0) {
        serve_free(ptr);
        return nullptr;
    }
    return pmem_to_glibc(ptr, size, &g_bypass.nested);
}

void *serve_aligned(size_t align, size_t size) {
    if (align <= kPmemAlign) return malloc(size);
    // glibc's allocator is thread-safe and its block needs no index entry:
    // a pointer in no plex block and not in g_large is glibc's.
    return from_glibc(__libc_memalign(align, size),
                      t_inside ? &g_bypass.nested : &g_bypass.aligned);
}

}  // namespace

// The index lives in glibc's heap, beside the plex blocks it describes.
void *preload_index_alloc(size_t bytes) {
    return __libc_calloc(1, bytes);
}
void preload_index_free(void *ptr) {
    __libc_free(ptr);
}

// ---- the interposed functions ---------------------------------------------

PRELOAD_API void *malloc(size_t size) {
    if (t_inside) return from_glibc(__libc_malloc(size), &g_bypass.nested);
    held h;
    return serve_malloc(size);
}

PRELOAD_API void free(void *ptr) {
    if (!ptr) return;
    if (t_inside) return serve_free(ptr);
    held h;
    serve_free(ptr);
}

PRELOAD_API void *calloc(size_t count, size_t size) {
    if (t_inside) return from_glibc(__libc_calloc(count, size), &g_bypass.nested);
    held h;
    return serve_calloc(count, size);
}

PRELOAD_API void *realloc(void *ptr, size_t size) {
    if (t_inside) return serve_realloc_nested(ptr, size);
    held h;
    return serve_realloc(ptr, size);
}

PRELOAD_API void *reallocarray(void *ptr, size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(ptr, bytes);
}

PRELOAD_API int posix_memalign(void **out, size_t align, size_t size) {
    if (align == 0 || align % sizeof(void *) != 0 || (align & (align - 1)) != 0) return EINVAL;
    int saved = errno;
    void *p = serve_aligned(align, size);
    if (!p) return ENOMEM;
    errno = saved;
    *out = p;
    return 0;
}

PRELOAD_API void *aligned_alloc(size_t align, size_t size) {
    if (align == 0 || (align & (align - 1)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    return serve_aligned(align, size);
}

PRELOAD_API void *memalign(size_t align, size_t size) {
    return serve_aligned(align, size);
}

PRELOAD_API void *valloc(size_t size) {
    return from_glibc(__libc_valloc(size), t_inside ? &g_bypass.nested : &g_bypass.aligned);
}

PRELOAD_API void *pvalloc(size_t size) {
    return from_glibc(__libc_pvalloc(size), t_inside ? &g_bypass.nested : &g_bypass.aligned);
}

PRELOAD_API size_t malloc_usable_size(void *ptr) {
    if (!ptr) return 0;
    if (t_inside) return usable_size(ptr);
    held h;
    return usable_size(ptr);
}
