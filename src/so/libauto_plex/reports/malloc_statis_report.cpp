// The two text reports of mem_statis: the modules worth a look written over a
// file, or every module sent line by line through the host's logging function
// behind glibc's mallinfo figures.  Both read the modules' snapshots, as the
// JSON report does; values go out as ssize_t to match "%zd".
#include <sys/types.h>

#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "reports/fields.h"
#include "reports/report_text.h"

static_assert(sizeof(ssize_t) == sizeof(int64_t), "the texts print 64-bit values with %zd");

namespace {

constexpr char kRoutine[] = "mem_statis_debug_rt";

// All ten labels align with blanks; three of them read as in pmem's block.
constexpr report_mallinfo_labels kMallinfo = {{
    "Total non-mmapped bytes (arena):       %d\n",
    "# of free chunks (ordblks):            %d\n",
    "# of free fastbin blocks (smblks):     %d\n",
    "# of mapped regions (hblks):           %d\n",
    "Bytes in mapped regions (hblkhd):      %d\n",
    "Max. total allocated space (usmblks):  %d\n",
    "Free bytes held in fastbins (fsmblks): %d\n",
    "Total allocated space (uordblks):      %d\n",
    "Total free space (fordblks):           %d\n",
    "Topmost releasable block (keepcost):   %d\n",
}};

struct StatisTotals {
    int64_t held = 0;
    uint64_t injected = 0;
};

// Every registered module's snapshot, in id order; returns their totals.
template <class Row>
StatisTotals each_module(Row &&row) {
    const mem_statis_table t = mem_statis_table_internal();
    StatisTotals total;
    for (int32_t id = 0; id < t.registered; id++) {
        mem_statis_snapshot s;
        fill_statis(id, &s);
        row(s);
        total.held += s.mem_alloced;
        total.injected += s.injected_count;
    }
    return total;
}

}  // namespace

extern "C" {

AP_API void mem_statis_debug(const char *path) {
    // Only modules worth a look: above 1 MiB, or refused by their ceiling.
    constexpr int64_t kListedAbove = 1048576;

    FILE *f = report_open(path, "w+");
    if (!f) return;
    fprintf(f, kReportPidsFile, report_ppid(), report_pid());
    const StatisTotals total = each_module([f](const mem_statis_snapshot &s) {
        if (s.mem_alloced <= kListedAbove && s.over_limit_failed == 0) return;
        fprintf(f, "module_name:%s alloc_mem:%zd", s.module_name, ssize_t(s.mem_alloced));
        if (s.over_limit_failed != 0)
            fprintf(f, " limit:%zd over_limit_failed:%zd", ssize_t(s.limit),
                    ssize_t(s.over_limit_failed));
        fputc('\n', f);
    });
    if (total.injected) fprintf(f, kReportInjectedLine, total.injected);
    fprintf(f, "[summary]---total_allocated_mem:%zd----\n", ssize_t(total.held));
    report_close(f);
}

AP_API void mem_statis_debug_rt(app_log_rt_fn app_log_rt) {
    constexpr int kLineBegin = 195, kLineModule = 213, kLineInjected = 219, kLineSummary = 220;
    if (!app_log_rt) return;
    report_head_rt(app_log_rt, kRoutine, kLineBegin, kMallinfo);
    const StatisTotals total = each_module([app_log_rt](const mem_statis_snapshot &s) {
        app_log_rt(kRoutine, kLineModule,
                   "module_name:%s alloc_mem:%zd limit:%zd over_limit_failed:%zd\n", s.module_name,
                   ssize_t(s.mem_alloced), ssize_t(s.limit), ssize_t(s.over_limit_failed));
    });
    if (total.injected) app_log_rt(kRoutine, kLineInjected, kReportInjectedLine, total.injected);
    app_log_rt(kRoutine, kLineSummary, "[summary]----------total_allocated_mem:%zd------------\n",
               ssize_t(total.held));
}

}  // extern "C"
