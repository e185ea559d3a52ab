// The two text reports of pmem: every pool's and every module's counters,
// appended to a file, or sent line by line through the host's logging
// function behind glibc's mallinfo figures.  Both only read the tables.
// Every literal is exact, trailing blanks and tabs included.
#include "pmem.h"
#include "private/pmem_private.h"
#include "reports/report_text.h"

namespace {

constexpr char kPoolRow[] = "%-20s %-12lu %-12lu %-12lu\n";
constexpr char kModuleRow[] = "%-20s %-12lu %-12lu\n";
constexpr char kSummary[] = "[summary]---total_allocated_mem:%lu total_freed_mem:%lu----\n";

struct Totals {
    uint64_t allocated = 0;
    uint64_t freed = 0;
};

// ---- file report ----

void file_pool_rows(FILE *f) {
    fputs("\npool_statis:\n", f);
    fputs("pool_name           alloc_count free_count  fail_count\n", f);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        const pool_statis *st = &pmem_pool_stats[p];
        fprintf(f, kPoolRow, pmem_pool_label_internal(p), st->alloc_count, st->free_count,
                st->fail_count);
    }
}

// Only pools the module touched, so a busy host's report stays readable.
void file_module_pools(FILE *f, const module_statis *st) {
    fputs("\npool_name           alloc_size  free_count  fail_count\n", f);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        if (!st->alloc_count[p] && !st->free_count[p] && !st->fail_count[p]) continue;
        fprintf(f, kPoolRow, pmem_pool_label_internal(p), st->alloc_count[p], st->free_count[p],
                st->fail_count[p]);
    }
}

Totals file_module_rows(FILE *f) {
    Totals totals;
    fputs("\nmodule_statis:\n", f);
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        const module_statis *st = &pmem_module_stats[m];
        fputs("\nmodule_name         alloc_size  free_count\n", f);
        fprintf(f, kModuleRow, pmem_module_label_internal(m), st->alloc_size, st->free_size);
        if (!st->alloc_size && !st->free_size) continue;
        file_module_pools(f, st);
        totals.allocated += st->alloc_size;
        totals.freed += st->free_size;
    }
    return totals;
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
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        const pool_statis *st = &pmem_pool_stats[p];
        log(kRoutine, kLinePoolRow, kPoolRow, pmem_pool_label_internal(p), st->alloc_count,
            st->free_count, st->fail_count);
    }
}

// Every module gets all 27 per-pool lines, unnamed: their position is the pool.
Totals rt_module_rows(app_log_rt_fn log) {
    constexpr int kLineModuleTitle = 373, kLineModuleRow = 378, kLineModulePoolRow = 384;
    Totals totals;
    log(kRoutine, kLineModuleTitle, "module_statis:\n");
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        const module_statis *st = &pmem_module_stats[m];
        log(kRoutine, kLineModuleRow, kModuleRow, pmem_module_label_internal(m), st->alloc_size,
            st->free_size);
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            log(kRoutine, kLineModulePoolRow, "%-12lu %-12lu %-12lu\n", st->alloc_count[p],
                st->free_count[p], st->fail_count[p]);
        totals.allocated += st->alloc_size;
        totals.freed += st->free_size;
    }
    return totals;
}

}  // namespace

extern "C" {

AP_API void pmem_statis_debug(const char *path) {
    FILE *f = report_open(path, "a+");
    if (!f) return;
    report_timestamp(f);
    fprintf(f, kReportPidsFile, report_ppid(), report_pid());
    file_pool_rows(f);
    Totals totals = file_module_rows(f);
    fprintf(f, kSummary, totals.allocated, totals.freed);
    report_close(f);
}

AP_API void pmem_statis_debug_rt(app_log_rt_fn app_log_rt) {
    constexpr int kLineBegin = 344, kLinePids = 345, kLineMallinfoBanner = 346, kLineMallinfo = 349,
                  kLineModuleBanner = 359, kLineSummary = 391;
    if (!app_log_rt) return;
    app_log_rt(kRoutine, kLineBegin, kReportBeginLine);
    app_log_rt(kRoutine, kLinePids, kReportPidsRt, report_ppid(), report_pid());
    app_log_rt(kRoutine, kLineMallinfoBanner, "=============mallinfo()=================\n");
    report_mallinfo_rt(app_log_rt, kRoutine, kLineMallinfo, kMallinfo);
    app_log_rt(kRoutine, kLineModuleBanner, "=============module_statis=================\n");
    rt_pool_rows(app_log_rt);
    Totals totals = rt_module_rows(app_log_rt);
    app_log_rt(kRoutine, kLineSummary, kSummary, totals.allocated, totals.freed);
}

}  // extern "C"
