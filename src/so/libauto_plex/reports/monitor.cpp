// Monitoring (ap_monitor.h): Prometheus metrics, the history file, and the
// live-allocation report.
//
// Owns no state.  The metrics writer formats into a stack buffer and hands
// it to a file descriptor or the host's sink: a host calls it when memory is
// short too, and under the preload a heap allocation from here would come
// back into pmem while it is being read.  Only a host of more than 64
// plexes costs it one buffer, from the system allocator, to group them.
#include "ap_monitor.h"

#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "ap_settings.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "reports/json_writer.h"
#include "reports/report_text.h"
#include "reports/fields.h"
#include "reports/text_out.h"

namespace {

// ---- metrics ------------------------------------------------------------------------

void family(TextOut &o, const ApField &f) {
    o.print("# HELP auto_plex_%s %s\n", f.metric, f.help);
    o.print("# TYPE auto_plex_%s %s\n", f.metric, f.kind == ApKind::kCounter ? "counter" : "gauge");
}

// One sample of `f`: the record's labels in table order, then the value.
void sample(TextOut &o, const ApRecord &r, const ApField &f, const void *row) {
    o.print("auto_plex_%s", f.metric);
    char open = '{';
    for (const ApField &label : r) {
        if (label.kind != ApKind::kLabel) continue;  // every label of a record labels its series
        o.print("%c%s=\"", open, label.metric);
        const ApValue v = ap_read(label, row);
        if (v.type == ApType::kStr)
            o.label_value(v.s);
        else
            o.print("%" PRIu64, v.u);
        o.put("\"");
        open = ',';
    }
    if (open == ',') o.put("}");
    const ApValue v = ap_read(f, row);
    if (v.type == ApType::kI64)
        o.print(" %" PRId64 "\n", v.i);
    else
        o.print(" %" PRIu64 "\n", v.u);
}

// Every metric family of a record; `rows(visit)` calls visit(row) for each
// series.  The text format wants a family's samples together, so the rows
// are read once per family.
template <class Rows>
void families(TextOut &o, const ApRecord &r, Rows &&rows) {
    for (const ApField &f : r) {
        if (!(f.outputs & kToMetrics) || f.kind == ApKind::kLabel) continue;
        family(o, f);
        rows([&](const void *row) { sample(o, r, f, row); });
    }
}

void record_families(TextOut &o, const ApRecord &r) {
    families(o, r, [&r](auto &&visit) {
        ap_each_row(r, [&](const void *row, size_t) {
            if (!(r.filtered & kToMetrics) || r.used(row)) visit(row);
        });
    });
}

// Plexes that share a name are one series, summed.  Each plex's name is
// looked up once in a hash table of the names seen so far, and its figures
// added to that name's sum, so a host with a plex per connection pays for
// one pass over its plexes, not a rescan per name; the families then read
// the sums.  Table and sums sit on the stack for most hosts, in one buffer
// from the system allocator past that.
class PlexGroups {
  public:
    PlexGroups() = default;
    PlexGroups(const PlexGroups &) = delete;
    PlexGroups &operator=(const PlexGroups &) = delete;
    ~PlexGroups() {
        if (sums_ != local_sums_) ap_sys_free(sums_);
    }

    // False when the buffer cannot be had.  The sums' names point into
    // `rows`, which must outlive the groups' use.
    bool build(const PlexRows &rows) {
        const size_t n = rows.size();
        size_t slots = 2 * kLocal;  // at most half full
        while (slots < 2 * n)
            slots *= 2;
        if (n > kLocal) {  // one block: the sums, then the table
            void *mem = ap_sys_calloc(1, n * sizeof(auto_plex_snapshot) + slots * sizeof(Slot));
            if (!mem) return false;
            sums_ = static_cast<auto_plex_snapshot *>(mem);
            table_ = reinterpret_cast<Slot *>(sums_ + n);
        }
        rows.each([&](const PlexRow &row, size_t) { add(row.s, slots - 1); });
        return true;
    }

    // visit(row) with each name's snapshot, in the order the names first
    // appear in the registry.
    template <class Visit>
    void each(Visit &&visit) const {
        for (size_t g = 0; g < groups_; g++)
            visit(&sums_[g]);
    }

  private:
    struct Slot {
        uint32_t group;  // the sum's index + 1; 0: empty
        uint32_t hash;
    };
    static constexpr size_t kLocal = 64;

    // A registered plex always has a name; one a host overwrote with null
    // counts as the empty name instead of crashing the scrape.
    static const char *name_of(const char *name) { return name ? name : ""; }

    // The newest plex of a name starts its sum; the fields that are not sums
    // keep its values.
    void add(const auto_plex_snapshot &s, size_t mask) {
        const char *name = name_of(s.module_name);
        uint32_t hash = 2166136261u;  // FNV-1a
        for (const char *c = name; *c; c++)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
        size_t at = hash & mask;
        for (; table_[at].group; at = (at + 1) & mask) {
            auto_plex_snapshot &sum = sums_[table_[at].group - 1];
            if (table_[at].hash != hash || strcmp(name_of(sum.module_name), name) != 0) continue;
            for (const ApField &f : kPlexRecord)
                if (f.type == ApType::kU64 && !(f.outputs & kFirstOfName))
                    *field_at(&sum, f) += ap_read(f, &s).u;
            return;
        }
        table_[at] = {uint32_t(++groups_), hash};
        sums_[groups_ - 1] = s;
    }
    static uint64_t *field_at(auto_plex_snapshot *s, const ApField &f) {
        return reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(s) + f.offset);
    }

    auto_plex_snapshot local_sums_[kLocal];
    Slot local_table_[2 * kLocal] = {};
    auto_plex_snapshot *sums_ = local_sums_;
    Slot *table_ = local_table_;
    size_t groups_ = 0;
};

bool metrics(TextOut &o) {
    const PlexRows rows;
    PlexGroups groups;
    if (!groups.build(rows)) return false;
    families(o, kPlexRecord, [&groups](auto &&visit) { groups.each(visit); });
    record_families(o, kPoolRecord);
    record_families(o, kModuleRecord);
    record_families(o, kStatisRecord);
    record_families(o, kMallinfoRecord);
    // The settings in force as one label, so a dashboard can show what a
    // process was started with next to what it did.
    char settings[kSettingsTextMax];
    auto_plex_settings(settings, sizeof settings);
    o.put(
        "# HELP auto_plex_settings_info The settings in force (auto_plex_settings).\n"
        "# TYPE auto_plex_settings_info gauge\nauto_plex_settings_info{settings=\"");
    o.label_value(settings);
    o.put("\"} 1\n");
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
    const PlexRows rows;
    ap_json_rows(j, "plexes", kPlexRecord, kToHistory, &rows);
    ap_json_rows(j, "pools", kPoolRecord, kToHistory);
    ap_json_rows(j, "modules", kModuleRecord, kToHistory);
    ap_json_rows(j, "accounted", kStatisRecord, kToHistory);
    ap_json_mallinfo(j, kToHistory);
    j.end_object();
}

// Appends the line and its newline as one write; on a short write the file
// is cut back, so a reader never meets half a line.
bool append_line(int fd, const char *text, size_t len) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    struct iovec parts[2] = {{const_cast<char *>(text), len}, {const_cast<char *>("\n"), 1}};
    if (writev(fd, parts, 2) == ssize_t(len + 1)) return true;
    // Should the cut fail too, nothing more can be done.
    [[maybe_unused]] const int cut = ftruncate(fd, st.st_size);
    return false;
}

// ---- live allocations ------------------------------------------------------------------

// Null when memory runs out or the walk cannot run.
LiveTally *live_tally() {
    auto *t = static_cast<LiveTally *>(ap_sys_calloc(1, sizeof(LiveTally)));
    if (t && !live_tally_fill(t)) {
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

// The report's lines, numbered 1 to 4 (title, header, rows, summary), as
// line(number, format, arguments...).
template <class Line>
void live_lines(const LiveTally &t, Line &&line) {
    line(1, kLiveTitle, report_ppid(), report_pid());
    line(2, "%s", kLiveHeader);
    uint64_t count = 0, bytes = 0;
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            if (!t.count[m][p]) continue;
            line(3, kLiveRow, pmem_module_label_internal(m), pmem_pool_label_internal(p),
                 t.count[m][p], t.bytes[m][p]);
            count += t.count[m][p], bytes += t.bytes[m][p];
        }
    line(4, kLiveSummary, count, bytes);
}

}  // namespace

bool live_tally_fill(LiveTally *t) {
    return pmem_walk_live(
               -1,
               [](const pmem_live_area *a, void *ctx) {
                   auto *tally = static_cast<LiveTally *>(ctx);
                   tally->count[a->mid][a->pool_id]++;
                   tally->bytes[a->mid][a->pool_id] += a->usable_size;
                   return 0;
               },
               t) >= 0;
}

extern "C" {

// The writers run on a host's schedule, often while it is otherwise quiet:
// a chance to give back memory that has been idle for the delay.

AP_API int ap_metrics_write(const char *path) {
    plex_release_tick_internal();
    char tmp[PATH_MAX];
    if (!path || !report_temp_name(tmp, path)) return -1;
    const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    // The file is ours and regular: a short write means the disk is full.
    const auto to_file = [](const char *text, size_t len, void *ctx) {
        return int(write(int(intptr_t(ctx)), text, len) != ssize_t(len));
    };
    bool ok;
    {
        TextOut o(to_file, reinterpret_cast<void *>(intptr_t(fd)));
        ok = metrics(o);
    }
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) == 0) return 0;
    unlink(tmp);
    return -1;
}

AP_API int ap_metrics_write_to(ap_text_sink sink, void *ctx) {
    if (!sink) return -1;
    plex_release_tick_internal();
    TextOut o(sink, ctx);
    return metrics(o) ? 0 : -1;
}

AP_API int ap_history_append(const char *path, size_t max_bytes) {
    if (!path) return -1;
    plex_release_tick_internal();
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
    LiveTally *t = live_tally();
    if (!t) return -1;
    FILE *f = report_open(path, "a+");
    if (!f) {
        ap_sys_free(t);
        return -1;
    }
    report_timestamp(f);
    live_lines(*t, [f](int, const char *format, auto... args) { fprintf(f, format, args...); });
    ap_sys_free(t);
    const bool ok = !ferror(f);
    return fclose(f) == 0 && ok ? 0 : -1;
}

AP_API int pmem_live_debug_rt(app_log_rt_fn app_log_rt) {
    if (!app_log_rt) return -1;
    LiveTally *t = live_tally();
    if (!t) return -1;
    live_lines(*t, [app_log_rt](int line, const char *format, auto... args) {
        app_log_rt("pmem_live_debug_rt", line, format, args...);
    });
    ap_sys_free(t);
    return 0;
}

}  // extern "C"
