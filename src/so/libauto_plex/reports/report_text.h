// What the text reports share (private header of the reports layer).  The
// texts are an interface (operators diff the files, log pipelines key on the
// routine name and line number of every callback call), so each report keeps
// its own literals; only what is the same everywhere lives here.
#ifndef LIBAUTO_PLEX_REPORTS_REPORT_TEXT_H
#define LIBAUTO_PLEX_REPORTS_REPORT_TEXT_H

#include <limits.h>
#include <stdint.h>
#include <stdio.h>

#include "app_log.h"
#include "pmem.h"

// First call of every callback report.
inline constexpr char kReportBeginLine[] =
    "------------------------------BEGIN----------------------------------\n";
// The process ids, as the file reports of pmem and mem_statis write them.
inline constexpr char kReportPidsFile[] = "========[module_statis]---ppid:%u pid:%u=======\n";

// The one line a report adds, before its summary, when some of the failures
// it counts were made by fault injection; with none it is left out, so the
// texts stay as hosts know them.
inline constexpr char kReportInjectedLine[] = "injected failures: %lu\n";

// Room for the settings text the machine-readable reports carry: every key
// and a ceiling for each of pmem's 129 modules.
inline constexpr size_t kSettingsTextMax = 8192;

// Opens a report file; a null path or an unopenable file gives null, and the
// caller then writes nothing.
FILE *report_open(const char *path, const char *mode);
// Flushes and closes; write errors are not reported anywhere.
void report_close(FILE *f);
// "\n%04d-%02d-%02d %02d:%02d:%02d\n" in local time: a file report that is
// appended to starts each report with an empty line and this stamp.
void report_timestamp(FILE *f);
unsigned report_pid();
unsigned report_ppid();
// "<path>.<pid>.tmp", where a file that replaces `path` is written first:
// beside it, so the rename stays within one file system.  False when the
// name does not fit.
bool report_temp_name(char (&tmp)[PATH_MAX], const char *path);

// pmem's live allocations counted per module and pool, for the live report
// and the leak list; some 55 KB, so callers take it from the system
// allocator, zeroed.
struct LiveTally {
    uint64_t count[PMEM_MID_N][PMEM_POOL_ID_N];
    uint64_t bytes[PMEM_MID_N][PMEM_POOL_ID_N];
};
// Adds every live allocation to `t` through pmem_walk_live; false when the
// walk's own memory runs out (nothing added then).
bool live_tally_fill(LiveTally *t);

// The ten labels of a mallinfo block, in the structure's field order, each
// with the blanks or tabs that align its value.
struct report_mallinfo_labels {
    const char *format[10];
};

// The head pmem's and mem_statis's callback reports share, at the same
// offsets from their first line: the BEGIN line, the process ids, glibc's
// allocator statistics under a banner (field k of the int-field mallinfo,
// whose layout the texts follow, on line first_line + 5 + k), and the
// modules' banner on line first_line + 15.
void report_head_rt(app_log_rt_fn log, const char *routine, int first_line,
                    const report_mallinfo_labels &labels);

#endif
