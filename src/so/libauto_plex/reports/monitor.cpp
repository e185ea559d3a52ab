// Monitoring (ap_monitor.h): Prometheus metrics, the history file, and the
// live-allocation report.
//
// Owns no state.  The metrics writer allocates nothing: a host calls it when
// memory is short too, and under the preload a heap allocation from here
// would come back into pmem while it is being read.  It formats into a
// stack buffer and hands it to a file descriptor or the host's sink.
#include "ap_monitor.h"

#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <malloc.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "reports/json_writer.h"
#include "reports/report_text.h"
#include "reports/stats_fill.h"

namespace {

// ---- output without the heap --------------------------------------------------------

class TextOut {
  public:
    TextOut(int fd) : fd_(fd) {}
    TextOut(ap_text_sink sink, void *ctx) : sink_(sink), ctx_(ctx) {}
    TextOut(const TextOut &) = delete;
    TextOut &operator=(const TextOut &) = delete;

    void put(const char *s, size_t n) {
        while (n) {
            if (len_ == sizeof buf_) flush();
            const size_t k = n < sizeof buf_ - len_ ? n : sizeof buf_ - len_;
            memcpy(buf_ + len_, s, k);
            len_ += k, s += k, n -= k;
        }
    }
    void put(const char *s) { put(s, strlen(s)); }
    [[gnu::format(printf, 2, 3)]] void print(const char *format, ...) {
        char line[256];  // fixed names and numbers only; label values go through put
        va_list ap;
        va_start(ap, format);
        const int n = vsnprintf(line, sizeof line, format, ap);
        va_end(ap);
        if (n > 0) put(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
    }
    // Label values: backslash, double quote and newline escaped, as the
    // format requires, and bytes that are not well-formed UTF-8 replaced by
    // U+FFFD, so any module name gives a file every reader accepts.
    void label_value(const char *s) {
        if (!s) s = "(null)";
        const auto *p = reinterpret_cast<const unsigned char *>(s);
        while (*p) {
            if (*p == '\\' || *p == '"') {
                const char esc[2] = {'\\', static_cast<char>(*p++)};
                put(esc, 2);
            } else if (*p == '\n') {
                put("\\n", 2), p++;
            } else if (const size_t n = utf8_sequence(p)) {
                put(reinterpret_cast<const char *>(p), n), p += n;
            } else {
                put("\xef\xbf\xbd", 3), p++;
            }
        }
    }
    bool finish() {
        flush();
        return !failed_;
    }

  private:
    void flush() {
        if (len_ && !failed_) {
            if (sink_) {
                failed_ = sink_(buf_, len_, ctx_) != 0;
            } else {
                for (size_t done = 0; done < len_ && !failed_;) {
                    const ssize_t n = write(fd_, buf_ + done, len_ - done);
                    failed_ = n <= 0;
                    done += n > 0 ? size_t(n) : 0;
                }
            }
        }
        len_ = 0;
    }

    char buf_[4096];
    size_t len_ = 0;
    int fd_ = -1;
    ap_text_sink sink_ = nullptr;
    void *ctx_ = nullptr;
    bool failed_ = false;
};

// ---- metrics ------------------------------------------------------------------------

void family(TextOut &o, const char *name, const char *type, const char *help) {
    o.print("# HELP auto_plex_%s %s\n", name, help);
    o.print("# TYPE auto_plex_%s %s\n", name, type);
}

void sample(TextOut &o, const char *name, const char *label, const char *value_label,
            uint64_t value) {
    o.print("auto_plex_%s{%s=\"", name, label);
    o.label_value(value_label);
    o.print("\"} %" PRIu64 "\n", value);
}

// Plexes that share a name are one series, summed; the first of them names
// it.  A plex is the first of its name when no plex before it in the
// registry has the name.
bool first_of_name(const auto_plex_link *l) {
    const char *name = plex_of_registry_link(l)->module_name;
    for (const auto_plex_link *k = plex_registry.next; k != l; k = k->next) {
        const char *other = plex_of_registry_link(k)->module_name;
        if (name == other || (name && other && strcmp(name, other) == 0)) return false;
    }
    return true;
}

// The figures of a plex, read as its snapshot reads them (the block count
// from the directory, which lists the same blocks as using_tree).
enum PlexFigure {
    kSlots,
    kInUse,
    kPeak,
    kLimit,
    kItemSize,
    kBlocks,
    kCreated,
    kReleased,
    kGrowFailures,
    kAllocFailures
};

uint64_t plex_figure(const auto_plex *me, PlexFigure what) {
    switch (what) {
        case kSlots:
            return me->alloc_num;
        case kInUse:
            return me->using_num;
        case kPeak:
            return plex_peak_internal(me);
        case kLimit:
            return me->max_num;
        case kItemSize:
            return me->item_size;
        case kBlocks:
            return me->module_name ? plex_ext_of(me)->dir.count : 0;
        case kCreated:
            return me->count_expand;
        case kReleased:
            return me->count_clear;
        case kGrowFailures:
            return me->expand_failed;
        case kAllocFailures:
            return me->alloc_failed;
    }
    return 0;
}

void plex_metrics(TextOut &o) {
    const struct {
        const char *name, *type, *help;
        PlexFigure what;
    } families[] = {
        {"plex_slots", "gauge", "Slots in the blocks the plex holds (alloc_num).", kSlots},
        {"plex_slots_in_use", "gauge", "Slots handed out (using_num).", kInUse},
        {"plex_slots_in_use_peak", "gauge", "Most slots handed out at once since init.", kPeak},
        {"plex_slot_limit", "gauge", "Most objects the plex may hand out (0: unbounded).", kLimit},
        {"plex_item_size_bytes", "gauge", "Object size asked for at init.", kItemSize},
        {"plex_blocks", "gauge", "Blocks that own memory.", kBlocks},
        {"plex_blocks_created_total", "counter", "Blocks created (count_expand).", kCreated},
        {"plex_blocks_released_total", "counter", "Blocks given back (count_clear).", kReleased},
        {"plex_grow_failures_total", "counter", "Failed attempts to get a block or its record.",
         kGrowFailures},
        {"plex_alloc_failures_total", "counter", "Allocations that returned null.", kAllocFailures},
    };
    for (const auto &f : families) {
        family(o, f.name, f.type, f.help);
        for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
            if (!first_of_name(l)) continue;
            const char *name = plex_of_registry_link(l)->module_name;
            uint64_t value = 0;
            for (const auto_plex_link *k = l; k != &plex_registry; k = k->next) {
                const auto_plex *me = plex_of_registry_link(k);
                if (me->module_name != name &&
                    (!name || !me->module_name || strcmp(me->module_name, name) != 0))
                    continue;
                if (f.what == kItemSize) {  // a size, not a sum: the first plex's
                    value = me->item_size;
                    break;
                }
                value += plex_figure(me, f.what);
            }
            sample(o, f.name, "plex", name, value);
        }
    }
}

// A module's refused allocations over every pool; a module with none and
// nothing allocated has never been used and is left out.
uint64_t module_failures(const pmem_module_snapshot &s) {
    uint64_t failures = 0;
    for (uint64_t n : s.fail_count)
        failures += n;
    return failures;
}

void pool_sample(TextOut &o, const char *name, unsigned pool, uint64_t value) {
    o.print("auto_plex_%s{pool=\"%s\",size=\"%" PRIu32 "\"} %" PRIu64 "\n", name,
            pmem_pool_label_internal(pool), pmem_pool_sizes[pool], value);
}

void pmem_metrics(TextOut &o) {
    struct {
        const char *name, *type, *help;
        uint64_t pmem_pool_snapshot::*field;
    } const pools[] = {
        {"pmem_pool_allocations_total", "counter", "Allocations the pool served.",
         &pmem_pool_snapshot::alloc_count},
        {"pmem_pool_releases_total", "counter", "Allocations given back to the pool.",
         &pmem_pool_snapshot::free_count},
        {"pmem_pool_failures_total", "counter", "Allocations refused for lack of memory.",
         &pmem_pool_snapshot::fail_count},
        {"pmem_pool_live", "gauge", "Live allocations.", &pmem_pool_snapshot::live_count},
        {"pmem_pool_live_peak", "gauge", "Most live allocations at once.",
         &pmem_pool_snapshot::peak_live_count},
    };
    for (const auto &f : pools) {
        family(o, f.name, f.type, f.help);
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            pmem_pool_snapshot s;
            fill_pool(p, &s);
            pool_sample(o, f.name, p, s.*f.field);
        }
    }
    struct {
        const char *name, *type, *help;
        int what;
    } const modules[] = {
        {"pmem_module_allocated_bytes_total", "counter", "Usable bytes allocated.", 0},
        {"pmem_module_released_bytes_total", "counter", "Usable bytes given back.", 1},
        {"pmem_module_live_bytes", "gauge", "Usable bytes held now.", 2},
        {"pmem_module_live_bytes_peak", "gauge", "Most usable bytes held at once.", 3},
        {"pmem_module_failures_total", "counter", "Allocations refused for lack of memory.", 4},
    };
    for (const auto &f : modules) {
        family(o, f.name, f.type, f.help);
        for (unsigned m = 0; m < PMEM_MID_N; m++) {
            pmem_module_snapshot s;
            fill_module(m, &s);
            const uint64_t failures = module_failures(s);
            if (!s.alloc_size && !failures) continue;  // never used
            const uint64_t values[] = {s.alloc_size, s.free_size, s.live_bytes, s.peak_live_bytes,
                                       failures};
            sample(o, f.name, "module", s.name, values[f.what]);
        }
    }
}

void statis_metrics(TextOut &o) {
    const mem_statis_table t = mem_statis_table_internal();
    struct {
        const char *name, *type, *help;
        int what;
    } const families[] = {
        {"accounted_bytes", "gauge", "Usable bytes the module holds.", 0},
        {"accounted_bytes_peak", "gauge", "Most usable bytes the module held at once.", 1},
        {"accounted_limit_bytes", "gauge", "The module's ceiling (0: none).", 2},
        {"accounted_refusals_total", "counter", "Requests refused by the ceiling.", 3},
    };
    for (const auto &f : families) {
        family(o, f.name, f.type, f.help);
        for (int32_t id = 0; id < t.registered; id++) {
            mem_statis_snapshot s;
            fill_statis(t, id, &s);
            const uint64_t values[] = {uint64_t(s.mem_alloced), uint64_t(s.peak_mem_alloced),
                                       s.limit, s.over_limit_failed};
            sample(o, f.name, "module", s.module_name, values[f.what]);
        }
    }
}

void mallinfo_metrics(TextOut &o) {
    const struct mallinfo2 mi = mallinfo2();
    const struct {
        const char *name, *help;
        size_t value;
    } fields[] = {
        {"mallinfo_arena_bytes", "Non-mmapped bytes the system allocator holds (arena).", mi.arena},
        {"mallinfo_free_chunks", "Free chunks (ordblks).", mi.ordblks},
        {"mallinfo_fastbin_chunks", "Free fastbin chunks (smblks).", mi.smblks},
        {"mallinfo_mapped_regions", "Mapped regions (hblks).", mi.hblks},
        {"mallinfo_mapped_bytes", "Bytes in mapped regions (hblkhd).", mi.hblkhd},
        {"mallinfo_max_allocated_bytes", "Maximum total allocated space (usmblks).", mi.usmblks},
        {"mallinfo_fastbin_free_bytes", "Bytes in free fastbin chunks (fsmblks).", mi.fsmblks},
        {"mallinfo_allocated_bytes", "Bytes allocated (uordblks).", mi.uordblks},
        {"mallinfo_free_bytes", "Bytes free (fordblks).", mi.fordblks},
        {"mallinfo_releasable_bytes", "Topmost releasable bytes (keepcost).", mi.keepcost},
    };
    for (const auto &f : fields) {
        family(o, f.name, "gauge", f.help);
        o.print("auto_plex_%s %zu\n", f.name, f.value);
    }
}

bool metrics(TextOut &o) {
    plex_metrics(o);
    pmem_metrics(o);
    statis_metrics(o);
    mallinfo_metrics(o);
    return o.finish();
}

// ---- history ------------------------------------------------------------------------

void history_line(ApJson &j) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    j.begin_object();
    j.u64("version", 1);
    j.i64("time_ms", int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    j.u64("pid", report_pid());
    j.begin_array("plexes");
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        auto_plex_snapshot s;
        fill_plex(plex_of_registry_link(l), &s);
        j.begin_object();
        j.str("module_name", s.module_name);
        j.u64("item_size", s.item_size);
        j.u64("alloc_num", s.alloc_num);
        j.u64("using_num", s.using_num);
        j.u64("peak_using_num", s.peak_using_num);
        j.u64("alloc_failed", s.alloc_failed);
        j.end_object();
    }
    j.end_array();
    j.begin_array("pools");
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        pmem_pool_snapshot s;
        fill_pool(p, &s);
        if (!s.alloc_count && !s.fail_count) continue;
        j.begin_object();
        j.str("name", s.name);
        j.u64("size", s.size);
        j.u64("live_count", s.live_count);
        j.u64("peak_live_count", s.peak_live_count);
        j.u64("alloc_count", s.alloc_count);
        j.u64("fail_count", s.fail_count);
        j.end_object();
    }
    j.end_array();
    j.begin_array("modules");
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        pmem_module_snapshot s;
        fill_module(m, &s);
        const uint64_t failures = module_failures(s);
        if (!s.alloc_size && !failures) continue;
        j.begin_object();
        j.str("name", s.name);
        j.u64("live_bytes", s.live_bytes);
        j.u64("peak_live_bytes", s.peak_live_bytes);
        j.u64("alloc_size", s.alloc_size);
        j.u64("fail_count", failures);
        j.end_object();
    }
    j.end_array();
    const mem_statis_table t = mem_statis_table_internal();
    j.begin_array("accounted");
    for (int32_t id = 0; id < t.registered; id++) {
        mem_statis_snapshot s;
        fill_statis(t, id, &s);
        j.begin_object();
        j.str("module_name", s.module_name);
        j.i64("mem_alloced", s.mem_alloced);
        j.i64("peak_mem_alloced", s.peak_mem_alloced);
        j.u64("limit", s.limit);
        j.u64("over_limit_failed", s.over_limit_failed);
        j.end_object();
    }
    j.end_array();
    const struct mallinfo2 mi = mallinfo2();
    j.begin_object("mallinfo2");
    j.u64("arena", mi.arena);
    j.u64("hblkhd", mi.hblkhd);
    j.u64("uordblks", mi.uordblks);
    j.u64("fordblks", mi.fordblks);
    j.end_object();
    j.end_object();
}

// Appends the line and its newline as one write; on a short write the file
// is cut back, so a reader never meets half a line.
bool append_line(int fd, const char *text, size_t len) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    struct iovec parts[2] = {{const_cast<char *>(text), len}, {const_cast<char *>("\n"), 1}};
    if (writev(fd, parts, 2) == ssize_t(len + 1)) return true;
    if (ftruncate(fd, st.st_size) != 0) {  // nothing more can be done
    }
    return false;
}

// ---- live allocations ------------------------------------------------------------------

struct Tally {
    uint64_t count[PMEM_MID_N][PMEM_POOL_ID_N];
    uint64_t bytes[PMEM_MID_N][PMEM_POOL_ID_N];
};

// Null when memory runs out or the walk cannot run.
Tally *live_tally() {
    auto *t = static_cast<Tally *>(ap_sys_calloc(1, sizeof(Tally)));
    if (!t) return nullptr;
    const long walked = pmem_walk_live(
        -1,
        [](const pmem_live_area *a, void *ctx) {
            auto *tally = static_cast<Tally *>(ctx);
            tally->count[a->mid][a->pool_id]++;
            tally->bytes[a->mid][a->pool_id] += a->usable_size;
            return 0;
        },
        t);
    if (walked < 0) {
        ap_sys_free(t);
        return nullptr;
    }
    return t;
}

constexpr char kLiveTitle[] = "========[live_allocations]---ppid:%u pid:%u=======\n";
constexpr char kLiveHeader[] = "module_name          pool_name            count        bytes\n";
constexpr char kLiveRow[] = "%-20s %-20s %-12" PRIu64 " %-12" PRIu64 "\n";
constexpr char kLiveSummary[] =
    "[summary]---live_allocations:%" PRIu64 " live_bytes:%" PRIu64 "----\n";

}  // namespace

extern "C" {

AP_API int ap_metrics_write(const char *path) {
    char tmp[PATH_MAX];
    if (!path || !report_temp_name(tmp, path)) return -1;
    const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    bool ok;
    {
        TextOut o(fd);
        ok = metrics(o);
    }
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) == 0) return 0;
    unlink(tmp);
    return -1;
}

AP_API int ap_metrics_write_to(ap_text_sink sink, void *ctx) {
    if (!sink) return -1;
    TextOut o(sink, ctx);
    return metrics(o) ? 0 : -1;
}

AP_API int ap_history_append(const char *path, size_t max_bytes) {
    if (!path) return -1;
    ApJson j;
    history_line(j);
    const char *text = j.text();
    if (!text) return -1;
    const size_t len = strlen(text);
    struct stat st;
    if (max_bytes && stat(path, &st) == 0 && st.st_size > 0 &&
        uint64_t(st.st_size) + len + 1 > max_bytes) {
        char older[PATH_MAX];
        const int n = snprintf(older, sizeof older, "%s.1", path);
        if (n <= 0 || size_t(n) >= sizeof older || rename(path, older) != 0) return -1;
    }
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const bool ok = append_line(fd, text, len);
    return close(fd) == 0 && ok ? 0 : -1;
}

AP_API int pmem_live_debug(const char *path) {
    if (!path) return -1;
    Tally *t = live_tally();
    if (!t) return -1;
    FILE *f = report_open(path, "a+");
    if (!f) {
        ap_sys_free(t);
        return -1;
    }
    report_timestamp(f);
    fprintf(f, kLiveTitle, report_ppid(), report_pid());
    fputs(kLiveHeader, f);
    uint64_t count = 0, bytes = 0;
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            if (!t->count[m][p]) continue;
            fprintf(f, kLiveRow, pmem_module_label_internal(m), pmem_pool_label_internal(p),
                    t->count[m][p], t->bytes[m][p]);
            count += t->count[m][p], bytes += t->bytes[m][p];
        }
    fprintf(f, kLiveSummary, count, bytes);
    ap_sys_free(t);
    const bool ok = !ferror(f);
    return fclose(f) == 0 && ok ? 0 : -1;
}

AP_API int pmem_live_debug_rt(app_log_rt_fn app_log_rt) {
    if (!app_log_rt) return -1;
    Tally *t = live_tally();
    if (!t) return -1;
    constexpr char kRoutine[] = "pmem_live_debug_rt";
    app_log_rt(kRoutine, 1, kLiveTitle, report_ppid(), report_pid());
    app_log_rt(kRoutine, 2, kLiveHeader);
    uint64_t count = 0, bytes = 0;
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            if (!t->count[m][p]) continue;
            app_log_rt(kRoutine, 3, kLiveRow, pmem_module_label_internal(m),
                       pmem_pool_label_internal(p), t->count[m][p], t->bytes[m][p]);
            count += t->count[m][p], bytes += t->bytes[m][p];
        }
    app_log_rt(kRoutine, 4, kLiveSummary, count, bytes);
    ap_sys_free(t);
    return 0;
}

}  // extern "C"
