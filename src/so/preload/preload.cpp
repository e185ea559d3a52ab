// libauto_plex_preload: serves an unmodified program's malloc family from
// pmem (module 0) and appends pmem's and the pools' reports at exit.
//
// Owned state: the configuration read at start-up.  Threads are pmem's
// business: it locks each size class on its own, so two threads wait for
// each other only when they use the same size class at the same moment, and
// a single-threaded program takes no lock at all.
//
// Ownership: a pointer is pmem's when the 16 bytes in front of it carry a
// pmem header (live, or released, which a second release must still reach)
// and the pool it names confirms it, under that pool's lock
// (pmem_owns_internal).  Every other pointer came from glibc's allocator.
//
// Calls that arrive while this thread is already inside the preload
// (t_inside) come from the preload itself: stdio and time functions of the
// exit report, dlsym, atexit and pthread_atfork at start-up.  They are served
// by glibc directly, so nothing recurses into pmem while it is in the middle
// of a call on this thread; what they hand out is a foreign pointer like any
// other.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/ap_sys.h"
#include "pmem.h"
#include "private/auto_plex_private.h"
#include "private/pmem_private.h"
#include "private/settings.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
void *__libc_memalign(size_t align, size_t size);
void *__libc_valloc(size_t size);
void *__libc_pvalloc(size_t size);
}

// The preload binding of the seam resolves glibc's malloc_usable_size.
bool ap_sys_preload_bind();

#define PRELOAD_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kPmemAlign = 16;  // every pmem pointer is 16-byte aligned
constexpr uint16_t kModule = 0;

__thread bool t_inside __attribute__((tls_model("initial-exec")));

pthread_once_t g_start_once = PTHREAD_ONCE_INIT;
bool g_ready;
char g_report_path[PATH_MAX];

// Requests that glibc served although pmem was running; shown in the report
// so a user sees how much of the program bypassed the size classes.
struct bypass_counts {
    uint64_t aligned;  // alignment above 16 bytes
    uint64_t huge;     // above pmem's 1 GiB ceiling
    uint64_t nested;   // made by the preload's own libc calls
};
bypass_counts g_bypass;

void bump(uint64_t *counter) {
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

// Through write(2): stderr's FILE lock may be held by a thread that is
// waiting for a pool's lock inside malloc.
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

// ---- ownership --------------------------------------------------------------

bool is_pmem(void *ptr) {
    return pmem_owns_internal(ptr);
}

size_t usable_size(void *ptr) {
    return is_pmem(ptr) ? pmem_ptr2size(ptr) : ap_sys_usable_size(ptr);
}

// ---- start-up, fork, exit -----------------------------------------------------

void report_at_exit();

void read_config() {
    // report= of AUTO_PLEX_CONF, else AUTO_PLEX_REPORT (which the settings
    // carry too, when it fits).
    char from_settings[PATH_MAX];
    const char *path = getenv("AUTO_PLEX_REPORT");
    if (ap_settings_report_internal(from_settings, sizeof from_settings) && from_settings[0])
        path = from_settings;
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

// pmem_init installs the library's fork handlers.  Registered at the first
// malloc, they run last among prepare handlers and first among parent and
// child ones, so other handlers may still allocate.
void start() {
    if (!ap_sys_preload_bind()) die("glibc's malloc_usable_size not found");
    pmem_init();
    read_config();
    __atomic_store_n(&g_ready, true, __ATOMIC_RELEASE);
}

// Marks this thread as inside the preload for the scope, and starts pmem on
// the process's first call.
class inside {
  public:
    inside() {
        t_inside = true;
        if (__builtin_expect(!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE), 0))
            pthread_once(&g_start_once, start);
    }
    ~inside() { t_inside = false; }
    inside(const inside &) = delete;
    inside &operator=(const inside &) = delete;
};

void report_at_exit() {
    inside h;
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
            "[preload]---served_by_glibc aligned_above_16:%lu above_1GiB:%lu "
            "preload_internal:%lu----\n",
            g_bypass.aligned, g_bypass.huge, g_bypass.nested);
    fclose(f);
}

// ---- serving, inside the preload ------------------------------------------------------

void *from_glibc(void *ptr, uint64_t *reason) {
    if (ptr) bump(reason);
    return ptr;
}

void *serve_malloc(size_t size) {
    if (size > PMEM_MAX_SIZE) return from_glibc(__libc_malloc(size), &g_bypass.huge);
    void *p = pmem_malloc(kModule, size);
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    return p;
}

void *serve_calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (bytes > PMEM_MAX_SIZE) return from_glibc(__libc_calloc(count, size), &g_bypass.huge);
    void *p = pmem_calloc(kModule, count, size);
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    return p;
}

void serve_free(void *ptr) {
    if (!pmem_release_if_owned_internal(ptr)) __libc_free(ptr);
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
    if (!is_pmem(ptr)) {
        // Moved onto pmem so the program's memory ends up counted; realloc
        // promises no alignment beyond malloc's, so aligned blocks may move.
        if (size > PMEM_MAX_SIZE) return from_glibc(__libc_realloc(ptr, size), &g_bypass.huge);
        size_t old = ap_sys_usable_size(ptr);
        void *q = serve_malloc(size);
        if (!q) return nullptr;
        memcpy(q, ptr, old < size ? old : size);
        __libc_free(ptr);
        return q;
    }
    if (size > PMEM_MAX_SIZE) return pmem_to_glibc(ptr, size, &g_bypass.huge);
    void *q = pmem_realloc(kModule, ptr, size);
    if (!q) errno = ENOMEM;
    return q;
}

// Nested: pmem is never in the middle of a call here (it calls glibc through
// its own seam), so releasing a pmem pointer is safe.
void *serve_realloc_nested(void *ptr, size_t size) {
    if (!ptr || !is_pmem(ptr)) return from_glibc(__libc_realloc(ptr, size), &g_bypass.nested);
    if (size == 0) {
        serve_free(ptr);
        return nullptr;
    }
    return pmem_to_glibc(ptr, size, &g_bypass.nested);
}

void *serve_aligned(size_t align, size_t size) {
    if (align <= kPmemAlign) return malloc(size);
    // glibc's allocator is thread-safe and its block needs no record: a
    // pointer that no pool confirms is glibc's.
    return from_glibc(__libc_memalign(align, size),
                      t_inside ? &g_bypass.nested : &g_bypass.aligned);
}

}  // namespace

// ---- the interposed functions ---------------------------------------------

PRELOAD_API void *malloc(size_t size) {
    if (t_inside) return from_glibc(__libc_malloc(size), &g_bypass.nested);
    inside h;
    return serve_malloc(size);
}

PRELOAD_API void free(void *ptr) {
    if (!ptr) return;
    if (t_inside) return serve_free(ptr);
    inside h;
    serve_free(ptr);
}

PRELOAD_API void *calloc(size_t count, size_t size) {
    if (t_inside) return from_glibc(__libc_calloc(count, size), &g_bypass.nested);
    inside h;
    return serve_calloc(count, size);
}

PRELOAD_API void *realloc(void *ptr, size_t size) {
    if (t_inside) return serve_realloc_nested(ptr, size);
    inside h;
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
    inside h;
    return usable_size(ptr);
}
