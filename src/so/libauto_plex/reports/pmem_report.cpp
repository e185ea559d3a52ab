// The two text reports of pmem: every pool's and every module's counters,
// appended to a file, or sent line by line through the host's logging
// function behind glibc's mallinfo figures.  Both read the pools' and
// modules' snapshots, as the JSON report does.
// Every literal is exact, trailing blanks and tabs included.
#include "pmem.h"
#include "private/pmem_private.h"
#include "reports/fields.h"
#include "reports/report_text.h"

namespace {

constexpr char kPoolRow[] = "%-20s %-12lu %-12lu %-12lu\n";
constexpr char kModuleRow[] = "%-20s %-12lu %-12lu\n";
constexpr char kSummary[] = "[summary]---total_allocated_mem:%lu total_freed_mem:%lu----\n";

// Every pool's or module's snapshot, in id order.
template <class Row>
void each_pool(Row &&row) {
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        pmem_pool_snapshot s;
        fill_pool(p, &s);
        row(s);
    }
}

template <class Row>
PmemTotals each_module(Row &&row) {
    PmemTotals totals;
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        pmem_module_snapshot s;
        fill_module(m, &s);
        row(s);
        totals.add(s);
    }
    return totals;
}

// ---- file report ----

void file_pool_rows(FILE *f) {
    fputs("\npool_statis:\n", f);
    fputs("pool_name           alloc_count free_count  fail_count\n", f);
    each_pool([f](const pmem_pool_snapshot &s) {
        fprintf(f, kPoolRow, s.name, s.alloc_count, s.free_count, s.fail_count);
    });
}

// Only pools the module touched, so a busy host's report stays readable.
void file_module_pools(FILE *f, const pmem_module_snapshot &s) {
    fputs("\npool_name           alloc_size  free_count  fail_count\n", f);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        if (!s.alloc_count[p] && !s.free_count[p] && !s.fail_count[p]) continue;
        fprintf(f, kPoolRow, pmem_pool_label_internal(p), s.alloc_count[p], s.free_count[p],
                s.fail_count[p]);
    }
}

PmemTotals file_module_rows(FILE *f) {
    fputs("\nmodule_statis:\n", f);
    return each_module([f](const pmem_module_snapshot &s) {
        fputs("\nmodule_name         alloc_size  free_count\n", f);
        fprintf(f, kModuleRow, s.name, s.alloc_size, s.free_size);
        if (s.alloc_size || s.free_size) file_module_pools(f, s);
    });
}

// ---- callback report ----

constexpr char kRoutine[] = "pmem_statis_debug_rt";

// Seven labels align with tabs, three with blanks.
constexpr report_mallinfo_labels kMallinfo = {{
    "Total non-mmapped bytes (arena):\t   %d\n",
    "# of free chunks (ordblks): \t\t   %d\n",
    "# of free fastbin blocks (smblks):\t   %d\n",
    "# of mapped regions (hblks):\t\t   %d\n",
    "Bytes in mapped regions (hblkhd):\t   %d\n",
    "Max. total allocated space (usmblks):  %d\n",
    "Free bytes held in fastbins (fsmblks): %d\n",
    "Total allocated space (uordblks):\t   %d\n",
    "Total free space (fordblks):\t\t   %d\n",
    "Topmost releasable block (keepcost):   %d\n",
}};

void rt_pool_rows(app_log_rt_fn log) {
    constexpr int kLinePoolTitle = 361, kLinePoolRow = 366;
    log(kRoutine, kLinePoolTitle, "pool_statis:\n");
    each_pool([log](const pmem_pool_snapshot &s) {
        log(kRoutine, kLinePoolRow, kPoolRow, s.name, s.alloc_count, s.free_count, s.fail_count);
    });
}

// Every module gets all 27 per-pool lines, unnamed: their position is the pool.
PmemTotals rt_module_rows(app_log_rt_fn log) {
    constexpr int kLineModuleTitle = 373, kLineModuleRow = 378, kLineModulePoolRow = 384;
    log(kRoutine, kLineModuleTitle, "module_statis:\n");
    return each_module([log](const pmem_module_snapshot &s) {
        log(kRoutine, kLineModuleRow, kModuleRow, s.name, s.alloc_size, s.free_size);
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            log(kRoutine, kLineModulePoolRow, "%-12lu %-12lu %-12lu\n", s.alloc_count[p],
                s.free_count[p], s.fail_count[p]);
    });
}

}  // namespace

extern "C" {

AP_API void pmem_statis_debug(const char *path) {
    FILE *f = report_open(path, "a+");
    if (!f) return;
    report_timestamp(f);
    fprintf(f, kReportPidsFile, report_ppid(), report_pid());
    file_pool_rows(f);
    const PmemTotals totals = file_module_rows(f);
    if (totals.injected) fprintf(f, kReportInjectedLine, totals.injected);
    fprintf(f, kSummary, totals.allocated, totals.freed);
    report_close(f);
}

AP_API void pmem_statis_debug_rt(app_log_rt_fn app_log_rt) {
    constexpr int kLineBegin = 344, kLineInjected = 390, kLineSummary = 391;
    if (!app_log_rt) return;
    report_head_rt(app_log_rt, kRoutine, kLineBegin, kMallinfo);
    rt_pool_rows(app_log_rt);
    const PmemTotals totals = rt_module_rows(app_log_rt);
    if (totals.injected) app_log_rt(kRoutine, kLineInjected, kReportInjectedLine, totals.injected);
    app_log_rt(kRoutine, kLineSummary, kSummary, totals.allocated, totals.freed);
}

}  // extern "C"
