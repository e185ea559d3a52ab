// The two text reports of the object pools: a fixed-width table of every
// registered plex appended to a file, and the same snapshot with every block
// sent line by line through the host's logging function.  Both only read.
// Field order differs between the two on purpose: log pipelines and
// operators' scripts already key on each text as it is.
#include <sys/types.h>

#include "auto_plex.h"
#include "private/auto_plex_private.h"
#include "reports/report_text.h"

namespace {

// Line numbers are part of each callback call's identity for log pipelines.
constexpr int kLineBegin = 78;
constexpr int kLinePids = 79;
constexpr int kLinePlex = 58;
constexpr int kLineBlock = 66;
constexpr int kLineSummary = 87;

constexpr char kPidLine[] = "=============ppid:%u pid:%u=================\n";
constexpr char kSummaryLine[] =
    "[summary]---total_max_mem:%zd allocated_mem:%zd used_mem:%zd----\n";
constexpr char kFileHeader[] =
    "module_name          using_num    alloc_num    count_expand count_clear  max_num      "
    "item_size    expand_failed step_alloc_num\n";
static_assert(sizeof kFileHeader - 1 == 128);

// Sums of the requested item size, not the slot size, as hosts size their
// bounds in objects of that size.
struct Totals {
    uint64_t max_mem = 0, allocated = 0, used = 0;
    void add(const auto_plex *me) {
        max_mem += me->item_size * me->max_num;
        allocated += me->item_size * me->alloc_num;
        used += me->item_size * me->using_num;
    }
};

// The counters are unsigned but the texts' conversions are signed.
inline ssize_t s64(uint64_t v) {
    return static_cast<ssize_t>(v);
}

// A registered plex always has a name; a host that nulled it still gets a
// readable line instead of a null %s.
inline const char *name_of(const auto_plex *me) {
    return me->module_name ? me->module_name : "(null)";
}

void show_auto_plex_stat(const auto_plex *me, FILE *log_file) {
    LIBAP_CHECK(me && log_file);
    fprintf(log_file, "%-20s %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd %-12zd", name_of(me),
            s64(me->using_num), s64(me->alloc_num), s64(me->count_expand), s64(me->count_clear),
            s64(me->max_num), s64(me->item_size), s64(me->expand_failed), s64(me->step_alloc_num));
    fputc('\n', log_file);
}

void show_auto_plex_stat_rt(const auto_plex *me, app_log_rt_fn app_log_rt) {
    static const char kRoutine[] = "show_auto_plex_stat_rt";
    LIBAP_CHECK(me && app_log_rt);
    app_log_rt(kRoutine, kLinePlex,
               "module_name:%s using_num:%zd step_alloc_num:%zd alloc_num:%zd max_num:%zd "
               "item_size:%zd  count_expand:%zd count_clear:%zd expand_failed:%zd ",
               name_of(me), s64(me->using_num), s64(me->step_alloc_num), s64(me->alloc_num),
               s64(me->max_num), s64(me->item_size), s64(me->count_expand), s64(me->count_clear),
               s64(me->expand_failed));
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const auto_plex_block *block = plex_block_of_node(n);
        uint64_t using_num = plex_using_num(&block->ctl);
        app_log_rt(kRoutine, kLineBlock, "    block:%p alloc_num:%zd using_num:%zd \n",
                   static_cast<const void *>(block), s64(plex_head_of(&block->ctl)->alloc_num),
                   s64(using_num));
    }
}

}  // namespace

extern "C" {

AP_API void auto_plex_debug(const char *path) {
    FILE *f = report_open(path, "a+");
    if (!f) return;
    report_timestamp(f);
    fprintf(f, kPidLine, report_ppid(), report_pid());
    fputs(kFileHeader, f);
    Totals totals;
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        const auto_plex *me = plex_of_registry_link(l);
        show_auto_plex_stat(me, f);
        totals.add(me);
    }
    fprintf(f, kSummaryLine, s64(totals.max_mem), s64(totals.allocated), s64(totals.used));
    report_close(f);
}

AP_API void auto_plex_debug_rt(app_log_rt_fn app_log_rt) {
    static const char kRoutine[] = "auto_plex_debug_rt";
    if (!app_log_rt) return;
    app_log_rt(kRoutine, kLineBegin, kReportBeginLine);
    app_log_rt(kRoutine, kLinePids, kPidLine, report_ppid(), report_pid());
    Totals totals;
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        const auto_plex *me = plex_of_registry_link(l);
        show_auto_plex_stat_rt(me, app_log_rt);
        totals.add(me);
    }
    app_log_rt(kRoutine, kLineSummary, kSummaryLine, s64(totals.max_mem), s64(totals.allocated),
               s64(totals.used));
}

}  // extern "C"
