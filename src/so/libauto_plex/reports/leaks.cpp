// The leak list (ap_monitor.h) and the exit handler that writes it
// (private/leaks.h).
//
// Tally first, then write: the walk holds each pool's lock while it counts
// and the accounted modules are read one lock at a time, and nothing is
// written until every lock is given back.  The text leaves through write(2)
// from a stack buffer, never stdio: an exit handler may run while another
// thread holds stderr's FILE lock and waits for a pool, and under the preload
// stdio's buffers would come from the very pools being listed.  So the list
// calls no malloc at all, and the preload's exit needs no guard around it.
#include "private/leaks.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ap_monitor.h"
#include "platform/ap_lock.h"
#include "platform/ap_sys.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "reports/report_text.h"
#include "reports/text_out.h"

namespace {

struct Held {
    const char *name;
    int64_t bytes;
};

// The list's figures, taken before a line is written: the live tally, then
// the accounted modules registered by then, in the same block.
struct Leaks {
    LiveTally live;
    int32_t accounted;
    Held *held() { return reinterpret_cast<Held *>(this + 1); }
    const Held *held() const { return reinterpret_cast<const Held *>(this + 1); }
};

// Null when memory for the tally or the walk runs out.
Leaks *take_leaks() {
    const int32_t n = mem_statis_table_internal().registered;
    auto *l = static_cast<Leaks *>(ap_sys_calloc(1, sizeof(Leaks) + size_t(n) * sizeof(Held)));
    if (!l) return nullptr;
    if (!live_tally_fill(&l->live)) {
        ap_sys_free(l);
        return nullptr;
    }
    l->accounted = n;
    for (int32_t id = 0; id < n; id++) {
        const mem_statis_figures f = mem_statis_figures_internal(id);
        l->held()[id] = {f.pub.module_name, f.pub.mem_alloced};
    }
    return l;
}

int to_fd(const char *text, size_t len, void *ctx) {
    const int fd = *static_cast<int *>(ctx);
    while (len) {
        const ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        text += n, len -= size_t(n);
    }
    return 0;
}

// Accounted names are the host's bytes: one that held a line break would
// forge a line, so control bytes print as '?'.  The name ends the line.
void name_to_end(TextOut &o, const char *name) {
    for (const char *c = name ? name : ""; *c; c++) {
        const bool control = static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f;
        o.put(control ? "?" : c, 1);
    }
    o.put("\n", 1);
}

void leak_lines(TextOut &o, const Leaks &l) {
    uint64_t count = 0, bytes = 0, accounted_bytes = 0;
    unsigned modules = 0, accounted = 0;
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        uint64_t module_count = 0;
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            module_count += l.live.count[m][p], bytes += l.live.bytes[m][p];
        count += module_count, modules += module_count != 0;
    }
    for (int32_t id = 0; id < l.accounted; id++)
        if (l.held()[id].bytes > 0) accounted_bytes += uint64_t(l.held()[id].bytes), accounted++;
    if (!count && !accounted) return o.print("leaks: none pid=%u\n", report_pid());
    o.print("leaks: allocations=%" PRIu64 " bytes=%" PRIu64
            " pmem_modules=%u accounted_bytes=%" PRIu64 " accounted_modules=%u pid=%u\n",
            count, bytes, modules, accounted_bytes, accounted, report_pid());
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            if (l.live.count[m][p])
                o.print("leaks: pmem module=%s pool=%s count=%" PRIu64 " bytes=%" PRIu64 "\n",
                        pmem_module_label_internal(m), pmem_pool_label_internal(p),
                        l.live.count[m][p], l.live.bytes[m][p]);
    for (int32_t id = 0; id < l.accounted; id++)
        if (l.held()[id].bytes > 0) {
            o.print("leaks: accounted bytes=%" PRId64 " module=", l.held()[id].bytes);
            name_to_end(o, l.held()[id].name);
        }
}

// ---- at exit ----------------------------------------------------------------------------

enum Where : int { kOff, kStderr, kFile };

ap_lock s_where_lock;
int s_where = kOff;     // written under the lock, read atomically
char s_path[PATH_MAX];  // absolute; under the lock
pthread_once_t s_handler_once = PTHREAD_ONCE_INIT;
bool s_handler_registered;  // read after pthread_once

void at_exit() {
    char path[PATH_MAX];
    int where;
    {
        ap_guard g(&s_where_lock, kRankLeakReport);
        where = s_where;
        if (where == kFile) memcpy(path, s_path, strlen(s_path) + 1);
    }
    if (where != kOff) pmem_leak_report(where == kFile ? path : nullptr);
}

void register_handler() {
    ap_fork_register_lock<&s_where_lock, kRankLeakReport>();
    s_handler_registered = atexit(at_exit) == 0;
}

}  // namespace

int ap_leak_report_at_exit_internal(const char *where) {
    const bool off = !where || !*where || strcmp(where, "off") == 0;
    const bool to_stderr = !off && strcmp(where, "stderr") == 0;
    char path[PATH_MAX];
    if (!off && !to_stderr) {
        size_t dir_len = 0;
        if (where[0] != '/') {
            if (!getcwd(path, sizeof path)) return -errno;
            dir_len = strlen(path);
            path[dir_len++] = '/';
        }
        const size_t len = strlen(where);
        if (dir_len + len >= sizeof path) return -22;
        memcpy(path + dir_len, where, len + 1);
    }
    if (!off) {
        pthread_once(&s_handler_once, register_handler);
        if (!s_handler_registered) return -12;
    }
    ap_guard g(&s_where_lock, kRankLeakReport);
    if (!off && !to_stderr) memcpy(s_path, path, strlen(path) + 1);
    __atomic_store_n(&s_where, off ? kOff : to_stderr ? kStderr : kFile, __ATOMIC_RELEASE);
    return 0;
}

const char *ap_leak_report_where_internal(void) {
    switch (__atomic_load_n(&s_where, __ATOMIC_ACQUIRE)) {
        case kStderr:
            return "stderr";
        case kFile:
            return s_path;
        default:
            return "off";
    }
}

extern "C" {

// A file that a write error leaves part-written is cut back, so a reader
// never meets half a list; stderr (a terminal, a pipe) cannot be.
AP_API int pmem_leak_report(const char *path) {
    Leaks *l = take_leaks();
    if (!l) return -1;
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : STDERR_FILENO;
    bool ok = fd >= 0;
    if (ok) {
        struct stat st;
        const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        {
            TextOut o(to_fd, &fd);
            leak_lines(o, *l);
            ok = o.finish();
        }
        if (!ok && path && regular) {
            [[maybe_unused]] const int cut = ftruncate(fd, st.st_size);
        }
        if (path) ok = close(fd) == 0 && ok;
    }
    ap_sys_free(l);
    return ok ? 0 : -1;
}

}  // extern "C"
