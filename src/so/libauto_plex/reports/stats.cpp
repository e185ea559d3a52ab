// Statistics as data: snapshots into the caller's records and the JSON
// reports of the three components.
//
// Owns no state.  The JSON documents are the field tables (reports/fields.h)
// written against a JSON sink, framed by the members every report starts
// with.
#include "ap_stats.h"

#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ap_settings.h"
#include "platform/ap_check.h"
#include "private/auto_plex_private.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "reports/fields.h"
#include "reports/json_writer.h"
#include "reports/report_text.h"

// Every snapshot call: a null buffer is fine only with no room claimed.
#define AP_STATS_CHECK_BUFFER(out, capacity) LIBAP_CHECK(out || capacity == 0)

namespace {

// ---- report bodies -----------------------------------------------------------------

void plex_body(ApJson &j) {
    const PlexRows rows(true);  // one copy, so that the summary adds up the rows shown
    ap_json_rows(j, "plexes", kPlexRecord, kToJson, &rows);
    PlexTotals totals;
    rows.each([&totals](const PlexRow &row, size_t) { totals.add(row.s); });
    j.begin_object("summary");
    j.u64("total_max_mem", totals.max_mem);
    j.u64("allocated_mem", totals.allocated);
    j.u64("used_mem", totals.used);
    j.end_object();
}

void pmem_body(ApJson &j) {
    j.boolean("inited", pmem_inited != 0);
    ap_json_rows(j, "pools", kPoolRecord, kToJson);
    ap_json_rows(j, "modules", kModuleRecord, kToJson);
    PmemTotals totals;
    ap_each_row(kModuleRecord, [&totals](const void *row, size_t) {
        totals.add(*static_cast<const pmem_module_snapshot *>(row));
    });
    j.begin_object("summary");
    j.u64("total_allocated_mem", totals.allocated);
    j.u64("total_freed_mem", totals.freed);
    j.end_object();
}

void statis_body(ApJson &j) {
    ap_json_rows(j, "modules", kStatisRecord, kToJson);
    int64_t total = 0;
    ap_each_row(kStatisRecord, [&total](const void *row, size_t) {
        total += static_cast<const mem_statis_snapshot *>(row)->mem_alloced;
    });
    j.begin_object("summary");
    j.i64("total_allocated_mem", total);
    j.end_object();
}

// ---- JSON framing ------------------------------------------------------------------

// The body of one report, after the members every report starts with.
using json_body = void (*)(ApJson &);

void head(ApJson &j, const char *report) {
    j.u64("version", AP_STATS_JSON_VERSION);
    j.str("report", report);
    j.i64("time", static_cast<int64_t>(time(nullptr)));
    j.u64("ppid", report_ppid());
    j.u64("pid", report_pid());
    char settings[kSettingsTextMax];
    auto_plex_settings(settings, sizeof settings);
    j.str("settings", settings);
}

void document(ApJson &j, const char *report, json_body body) {
    j.begin_object();
    head(j, report);
    // mallinfo2: the size_t figures, which do not wrap above 2 GiB as the int
    // ones of the text reports do.
    ap_json_mallinfo(j, kToJson);
    body(j);
    j.end_object();
}

// One document {"version", "report", "time", "ppid", "pid", "mallinfo2",
// <body>} written to a temporary file beside `path` and renamed over it.
// Returns 0, or -1 when nothing was written (null or unusable path, write
// error).
int json_to_file(const char *path, const char *report, json_body body) {
    if (!path) return -1;
    char tmp[PATH_MAX];
    if (!report_temp_name(tmp, path)) return -1;
    FILE *f = report_open(tmp, "w");
    if (!f) return -1;
    bool ok;
    {
        ApJson j(f);
        document(j, report, body);
        ok = !j.failed() && fputc('\n', f) != EOF && fflush(f) == 0 && !ferror(f);
    }
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp, path) == 0) return 0;
    unlink(tmp);
    return -1;
}

// The same document sent as one call of `log` (routine `routine`, format
// "%s\n").  Out of memory: sends the head with "error":"out of memory"
// instead and returns -1; null `log`: returns -1.
int json_to_log(app_log_rt_fn log, const char *routine, const char *report, json_body body) {
    if (!log) return -1;
    ApJson j;
    document(j, report, body);
    if (const char *text = j.text()) {
        log(routine, AP_STATS_JSON_LINE, "%s\n", text);
        return 0;
    }
    // Small enough for the stack: still one parseable document.
    char fallback[256];
    snprintf(fallback, sizeof fallback,
             "{\"version\":%d,\"report\":\"%s\",\"error\":\"out of memory\"}",
             AP_STATS_JSON_VERSION, report);
    log(routine, AP_STATS_JSON_LINE, "%s\n", fallback);
    return -1;
}

// The first `capacity` rows of a record into `out`; the number of rows.
template <class Snapshot>
size_t take_rows(const ApRecord &r, Snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    size_t total = 0;
    ap_each_row(r, [&](const void *row, size_t index) {
        if (index < capacity) out[index] = *static_cast<const Snapshot *>(row);
        total = index + 1;
    });
    return total;
}

}  // namespace

extern "C" {

// Each snapshot call copies a record's rows; each JSON report has a file and
// a callback form.
#define AP_SNAPSHOT(function, Snapshot, record)              \
    AP_API size_t function(Snapshot *out, size_t capacity) { \
        return take_rows(record, out, capacity);             \
    }
#define AP_JSON_REPORT(prefix, report, body)                                    \
    AP_API int prefix##_debug_json(const char *path) {                          \
        return json_to_file(path, report, body);                                \
    }                                                                           \
    AP_API int prefix##_debug_json_rt(app_log_rt_fn app_log_rt) {               \
        return json_to_log(app_log_rt, #prefix "_debug_json_rt", report, body); \
    }

AP_SNAPSHOT(pmem_take_pool_snapshot, pmem_pool_snapshot, kPoolRecord)
AP_SNAPSHOT(pmem_take_module_snapshot, pmem_module_snapshot, kModuleRecord)
AP_SNAPSHOT(mem_statis_take_snapshot, mem_statis_snapshot, kStatisRecord)
AP_JSON_REPORT(auto_plex, "auto_plex", plex_body)
AP_JSON_REPORT(pmem_statis, "pmem", pmem_body)
AP_JSON_REPORT(mem_statis, "mem_statis", statis_body)

// Filled under the locks, not from a copy: the names are the plexes' own.
AP_API size_t auto_plex_take_snapshot(auto_plex_snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    return fill_plexes(out, capacity);
}

AP_API size_t auto_plex_take_block_snapshot(const auto_plex *me, auto_plex_block_snapshot *out,
                                            size_t capacity) {
    LIBAP_CHECK(me);
    AP_STATS_CHECK_BUFFER(out, capacity);
    size_t total = 0;
    plex_guard g(me);
    plex_for_each_block(me, [&](const auto_plex_block_snapshot &b) {
        if (total < capacity) out[total] = b;
        total++;
    });
    return total;
}

}  // extern "C"
