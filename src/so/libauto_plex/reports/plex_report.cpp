// The two text reports of the object pools: a fixed-width table of every
// registered plex appended to a file, and the same snapshot with every block
// sent line by line through the host's logging function.  Both read the
// plexes' snapshots, as the JSON report does.
// Field order differs between the two on purpose: log pipelines and
// operators' scripts already key on each text as it is.
#include <sys/types.h>

#include "auto_plex.h"
#include "reports/fields.h"
#include "reports/report_text.h"

namespace {

// Line numbers are part of each callback call's identity for log pipelines.
constexpr int kLineBegin = 78;
constexpr int kLinePids = 79;
constexpr int kLinePlex = 58;
constexpr int kLineBlock = 66;
constexpr int kLineSummary = 87;
constexpr int kLineInjected = 86;

constexpr char kPidLine[] = "=============ppid:%u pid:%u=================\n";
constexpr char kSummaryLine[] =
    "[summary]---total_max_mem:%zd allocated_mem:%zd used_mem:%zd----\n";
constexpr char kFileHeader[] =
    "module_name          using_num    alloc_num    count_expand count_clear  max_num      "
    "item_size    expand_failed step_alloc_num\n";
static_assert(sizeof kFileHeader - 1 == 128);

// The counters are unsigned but the texts' conversions are signed.
inline ssize_t s64(uint64_t v) {
    return static_cast<ssize_t>(v);
}

// A registered plex always has a name; a host that nulled it still gets a
// readable line instead of a null %s.
inline const char *name_of(const auto_plex_snapshot &s) {
    return s.module_name ? s.module_name : "(null)";
}

void show_auto_plex_stat(const auto_plex_snapshot &s, FILE *log_file) {
    const auto_plex *me = s.plex;
    LIBAP_CHECK(me && log_file);
    fprintf(log_file, "%-20s %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd", name_of(s),
            s64(s.using_num), s64(s.alloc_num), s64(s.count_expand), s64(s.count_clear),
            s64(s.max_num), s64(s.item_size), s64(s.expand_failed), s64(s.step_alloc_num));
    fputc('\n', log_file);
}

void show_auto_plex_stat_rt(const PlexRow &row, app_log_rt_fn app_log_rt) {
    static const char kRoutine[] = "show_auto_plex_stat_rt";
    const auto_plex_snapshot &s = row.s;
    const auto_plex *me = s.plex;
    LIBAP_CHECK(me && app_log_rt);
    app_log_rt(kRoutine, kLinePlex,
               "module_name:%s using_num:%zd step_alloc_num:%zd alloc_num:%zd max_num:%zd "
               "item_size:%zd  count_expand:%zd count_clear:%zd expand_failed:%zd ",
               name_of(s), s64(s.using_num), s64(s.step_alloc_num), s64(s.alloc_num),
               s64(s.max_num), s64(s.item_size), s64(s.count_expand), s64(s.count_clear),
               s64(s.expand_failed));
    plex_row_blocks(row, [app_log_rt](const auto_plex_block_snapshot &b) {
        app_log_rt(kRoutine, kLineBlock, "    block:%p alloc_num:%zd using_num:%zd \n",
                   static_cast<const void *>(b.block), s64(b.alloc_num), s64(b.using_num));
    });
}

// Every registered plex's snapshot, newest first, then the totals.
template <class Row>
PlexTotals each_plex(bool with_blocks, Row &&row) {
    PlexTotals totals;
    PlexRows(with_blocks).each([&](const PlexRow &r, size_t) {
        row(r);
        totals.add(r.s);
    });
    return totals;
}

}  // namespace

extern "C" {

AP_API void auto_plex_debug(const char *path) {
    FILE *f = report_open(path, "a+");
    if (!f) return;
    report_timestamp(f);
    fprintf(f, kPidLine, report_ppid(), report_pid());
    fputs(kFileHeader, f);
    const PlexTotals totals =
        each_plex(false, [f](const PlexRow &r) { show_auto_plex_stat(r.s, f); });
    if (totals.injected) fprintf(f, kReportInjectedLine, totals.injected);
    fprintf(f, kSummaryLine, s64(totals.max_mem), s64(totals.allocated), s64(totals.used));
    report_close(f);
}

AP_API void auto_plex_debug_rt(app_log_rt_fn app_log_rt) {
    static const char kRoutine[] = "auto_plex_debug_rt";
    if (!app_log_rt) return;
    app_log_rt(kRoutine, kLineBegin, kReportBeginLine);
    app_log_rt(kRoutine, kLinePids, kPidLine, report_ppid(), report_pid());
    const PlexTotals totals =
        each_plex(true, [app_log_rt](const PlexRow &r) { show_auto_plex_stat_rt(r, app_log_rt); });
    if (totals.injected) app_log_rt(kRoutine, kLineInjected, kReportInjectedLine, totals.injected);
    app_log_rt(kRoutine, kLineSummary, kSummaryLine, s64(totals.max_mem), s64(totals.allocated),
               s64(totals.used));
}

}  // extern "C"
