// Statistics as data: snapshots into the caller's records and the JSON
// reports of the three components.
//
// Owns no state.  Reads the registries and counter tables the text reports
// read, plus the peaks each component keeps (its private header); the JSON
// documents are built from the same record fillers as the snapshots, so a
// snapshot and a JSON report made with nothing in between agree to the last
// count.
#include "ap_stats.h"

#include <limits.h>
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/ap_check.h"
#include "private/auto_plex_private.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "reports/json_writer.h"
#include "reports/report_text.h"
#include "reports/stats_fill.h"

// Every snapshot call: a null buffer is fine only with no room claimed.
#define AP_STATS_CHECK_BUFFER(out, capacity) LIBAP_CHECK(out || capacity == 0)

namespace {

const plex_block_head *head_of(const auto_plex_block *block) {
    return plex_head_of(&block->ctl);
}

}  // namespace

// ---- record fillers (reports/stats_fill.h) ------------------------------------------

void fill_plex(const auto_plex *me, auto_plex_snapshot *s) {
    *s = auto_plex_snapshot{};
    s->plex = me;
    s->module_name = me->module_name;
    s->item_size = me->item_size;
    s->step_alloc_num = me->step_alloc_num;
    s->max_num = me->max_num;
    s->alloc_num = me->alloc_num;
    s->using_num = me->using_num;
    s->peak_using_num = plex_peak_internal(me);
    s->block_num = me->block_num;
    s->count_expand = me->count_expand;
    s->count_clear = me->count_clear;
    s->expand_failed = me->expand_failed;
    s->alloc_failed = me->alloc_failed;
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const plex_block_head *h = head_of(plex_block_of_node(n));
        s->block_count++;
        s->full_block_count += h->using_num >= h->alloc_num;
    }
}

namespace {

void plex_body(ApJson &j) {
    uint64_t max_mem = 0, allocated = 0, used = 0;
    j.begin_array("plexes");
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        const auto_plex *me = plex_of_registry_link(l);
        auto_plex_snapshot s;
        fill_plex(me, &s);
        j.begin_object();
        j.str("module_name", s.module_name);
        j.u64("item_size", s.item_size);
        j.u64("step_alloc_num", s.step_alloc_num);
        j.u64("max_num", s.max_num);
        j.u64("alloc_num", s.alloc_num);
        j.u64("using_num", s.using_num);
        j.u64("peak_using_num", s.peak_using_num);
        j.u64("block_num", s.block_num);
        j.u64("block_count", s.block_count);
        j.u64("full_block_count", s.full_block_count);
        j.u64("count_expand", s.count_expand);
        j.u64("count_clear", s.count_clear);
        j.u64("expand_failed", s.expand_failed);
        j.u64("alloc_failed", s.alloc_failed);
        j.begin_array("blocks");
        for (avl_node *n = avl_tree_first_in_order(me->using_tree); n;
             n = avl_tree_next_in_order(n)) {
            const auto_plex_block *block = plex_block_of_node(n);
            char address[sizeof "0x0123456789abcdef"];
            snprintf(address, sizeof address, "%p", static_cast<const void *>(block));
            j.begin_object();
            j.str("block", address);
            j.u64("alloc_num", head_of(block)->alloc_num);
            j.u64("using_num", head_of(block)->using_num);
            j.end_object();
        }
        j.end_array();
        j.end_object();
        // The text reports' totals: requested item size, not slot size.
        max_mem += s.item_size * s.max_num;
        allocated += s.item_size * s.alloc_num;
        used += s.item_size * s.using_num;
    }
    j.end_array();
    j.begin_object("summary");
    j.u64("total_max_mem", max_mem);
    j.u64("allocated_mem", allocated);
    j.u64("used_mem", used);
    j.end_object();
}

}  // namespace

// ---- pmem ------------------------------------------------------------------------

void fill_pool(unsigned p, pmem_pool_snapshot *s) {
    const pool_statis &st = pmem_pool_stats[p];
    *s = pmem_pool_snapshot{};
    s->name = pmem_pool_label_internal(p);
    s->size = pmem_pool_sizes[p];
    s->alloc_count = st.alloc_count;
    s->free_count = st.free_count;
    s->fail_count = st.fail_count;
    s->live_count = st.alloc_count - st.free_count;
    s->peak_live_count = pmem_pool_peak_internal(p);
}

void fill_module(unsigned m, pmem_module_snapshot *s) {
    const module_statis &st = pmem_module_stats[m];
    s->name = pmem_module_names[m];
    s->alloc_size = st.alloc_size;
    s->free_size = st.free_size;
    s->live_bytes = st.alloc_size - st.free_size;
    s->peak_live_bytes = pmem_module_peak_internal(m);
    memcpy(s->alloc_count, st.alloc_count, sizeof s->alloc_count);
    memcpy(s->free_count, st.free_count, sizeof s->free_count);
    memcpy(s->fail_count, st.fail_count, sizeof s->fail_count);
}

namespace {

void pmem_body(ApJson &j) {
    j.boolean("inited", pmem_inited != 0);
    j.begin_array("pools");
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        pmem_pool_snapshot s;
        fill_pool(p, &s);
        j.begin_object();
        j.u64("pool", p);
        j.str("name", s.name);
        j.u64("size", s.size);
        j.u64("alloc_count", s.alloc_count);
        j.u64("free_count", s.free_count);
        j.u64("fail_count", s.fail_count);
        j.u64("live_count", s.live_count);
        j.u64("peak_live_count", s.peak_live_count);
        j.end_object();
    }
    j.end_array();

    uint64_t allocated = 0, freed = 0;
    j.begin_array("modules");
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        pmem_module_snapshot s;
        fill_module(m, &s);
        j.begin_object();
        j.u64("mid", m);
        j.str("name", s.name);
        j.u64("alloc_size", s.alloc_size);
        j.u64("free_size", s.free_size);
        j.u64("live_bytes", s.live_bytes);
        j.u64("peak_live_bytes", s.peak_live_bytes);
        // Only the pools the module touched, as in the file report; an absent
        // pool has all three counts 0.
        j.begin_array("pools");
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            if (!s.alloc_count[p] && !s.free_count[p] && !s.fail_count[p]) continue;
            j.begin_object();
            j.u64("pool", p);
            j.u64("alloc_count", s.alloc_count[p]);
            j.u64("free_count", s.free_count[p]);
            j.u64("fail_count", s.fail_count[p]);
            j.end_object();
        }
        j.end_array();
        j.end_object();
        allocated += s.alloc_size;
        freed += s.free_size;
    }
    j.end_array();
    j.begin_object("summary");
    j.u64("total_allocated_mem", allocated);
    j.u64("total_freed_mem", freed);
    j.end_object();
}

}  // namespace

// ---- module accounting -------------------------------------------------------------

void fill_statis(const mem_statis_table &t, int32_t id, mem_statis_snapshot *s) {
    const mem_statis_entry &e = t.records[id].pub;
    *s = mem_statis_snapshot{};
    s->module_name = e.module_name;
    s->mem_alloced = e.mem_alloced;
    s->peak_mem_alloced = t.records[id].peak_mem_alloced;
    s->limit = e.limit;
    s->over_limit_failed = e.over_limit_failed;
}

namespace {

void statis_body(ApJson &j) {
    const mem_statis_table t = mem_statis_table_internal();
    int64_t total = 0;
    j.begin_array("modules");
    for (int32_t id = 0; id < t.registered; id++) {
        mem_statis_snapshot s;
        fill_statis(t, id, &s);
        j.begin_object();
        j.i64("id", id);
        j.str("module_name", s.module_name);
        j.i64("mem_alloced", s.mem_alloced);
        j.i64("peak_mem_alloced", s.peak_mem_alloced);
        j.u64("limit", s.limit);
        j.u64("over_limit_failed", s.over_limit_failed);
        j.end_object();
        total += s.mem_alloced;
    }
    j.end_array();
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
}

// mallinfo2: the size_t figures, which do not wrap above 2 GiB as the int
// ones of the text reports do.
void mallinfo2_object(ApJson &j) {
    struct mallinfo2 mi = mallinfo2();
    j.begin_object("mallinfo2");
    j.u64("arena", mi.arena);
    j.u64("ordblks", mi.ordblks);
    j.u64("smblks", mi.smblks);
    j.u64("hblks", mi.hblks);
    j.u64("hblkhd", mi.hblkhd);
    j.u64("usmblks", mi.usmblks);
    j.u64("fsmblks", mi.fsmblks);
    j.u64("uordblks", mi.uordblks);
    j.u64("fordblks", mi.fordblks);
    j.u64("keepcost", mi.keepcost);
    j.end_object();
}

void document(ApJson &j, const char *report, json_body body) {
    j.begin_object();
    head(j, report);
    mallinfo2_object(j);
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

}  // namespace

extern "C" {

AP_API size_t auto_plex_take_snapshot(auto_plex_snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    size_t total = 0;
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next, total++)
        if (total < capacity) fill_plex(plex_of_registry_link(l), &out[total]);
    return total;
}

AP_API size_t auto_plex_take_block_snapshot(const auto_plex *me, auto_plex_block_snapshot *out,
                                            size_t capacity) {
    LIBAP_CHECK(me);
    AP_STATS_CHECK_BUFFER(out, capacity);
    size_t total = 0;
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n;
         n = avl_tree_next_in_order(n), total++) {
        if (total >= capacity) continue;
        const auto_plex_block *block = plex_block_of_node(n);
        out[total] = {block, head_of(block)->alloc_num, head_of(block)->using_num};
    }
    return total;
}

AP_API int auto_plex_debug_json(const char *path) {
    return json_to_file(path, "auto_plex", plex_body);
}

AP_API int auto_plex_debug_json_rt(app_log_rt_fn app_log_rt) {
    return json_to_log(app_log_rt, "auto_plex_debug_json_rt", "auto_plex", plex_body);
}

AP_API size_t pmem_take_pool_snapshot(pmem_pool_snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    for (unsigned p = 0; p < PMEM_POOL_ID_N && p < capacity; p++)
        fill_pool(p, &out[p]);
    return PMEM_POOL_ID_N;
}

AP_API size_t pmem_take_module_snapshot(pmem_module_snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    for (unsigned m = 0; m < PMEM_MID_N && m < capacity; m++)
        fill_module(m, &out[m]);
    return PMEM_MID_N;
}

AP_API int pmem_statis_debug_json(const char *path) {
    return json_to_file(path, "pmem", pmem_body);
}

AP_API int pmem_statis_debug_json_rt(app_log_rt_fn app_log_rt) {
    return json_to_log(app_log_rt, "pmem_statis_debug_json_rt", "pmem", pmem_body);
}

AP_API size_t mem_statis_take_snapshot(mem_statis_snapshot *out, size_t capacity) {
    AP_STATS_CHECK_BUFFER(out, capacity);
    const mem_statis_table t = mem_statis_table_internal();
    for (int32_t id = 0; id < t.registered && size_t(id) < capacity; id++)
        fill_statis(t, id, &out[id]);
    return size_t(t.registered);
}

AP_API int mem_statis_debug_json(const char *path) {
    return json_to_file(path, "mem_statis", statis_body);
}

AP_API int mem_statis_debug_json_rt(app_log_rt_fn app_log_rt) {
    return json_to_log(app_log_rt, "mem_statis_debug_json_rt", "mem_statis", statis_body);
}

}  // extern "C"
