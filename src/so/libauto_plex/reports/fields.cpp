// The snapshots behind every report, and the tables of what the
// machine-readable reports export from them.
//
// Owns no state.  Everything here only reads the registries and counter
// tables; a snapshot and any report made with nothing in between agree to
// the last count because both are filled by the same functions.
#include "reports/fields.h"

#include <malloc.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "platform/ap_sys.h"
#include "private/pmem_private.h"

// ---- snapshots -------------------------------------------------------------------------

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
    s->alloc_injected = me->module_name ? plex_ext_of(me)->alloc_injected : 0;
    const plex_block_counts blocks = plex_block_counts_internal(me);
    s->block_count = blocks.blocks;
    s->full_block_count = blocks.full;
}

void fill_pool(unsigned p, pmem_pool_snapshot *s) {
    const pmem_pool_figures f = pmem_pool_figures_internal(p);
    *s = pmem_pool_snapshot{};
    s->name = pmem_pool_label_internal(p);
    s->size = pmem_pool_sizes[p];
    s->alloc_count = f.alloc_count;
    s->free_count = f.free_count;
    s->fail_count = f.fail_count;
    s->live_count = f.alloc_count - f.free_count;
    s->peak_live_count = f.peak_live;
    s->injected_count = f.injected;
}

// A module's counts change under the locks of the pools that serve it and
// its byte totals under none, so they are read word by word.  The byte totals
// are read as a pair that held at one moment (free_size only grows, so the
// same value on both sides of the alloc_size read means it held while that
// was read), and the peak after them, which keeps live bytes at most the
// peak (pmem.cpp orders its updates for that).  Each count is read after the
// matching release count, so the live counts derived are never negative.
void fill_module(unsigned m, pmem_module_snapshot *s) {
    const module_statis &st = pmem_module_stats[m];
    s->name = pmem_module_names[m];
    uint64_t freed;
    do {
        freed = ap_read(&st.free_size);
        s->alloc_size = ap_read(&st.alloc_size);
    } while (ap_read(&st.free_size) != freed);
    s->free_size = freed;
    s->live_bytes = s->alloc_size - freed;
    s->peak_live_bytes = pmem_module_peak_internal(m);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        s->free_count[p] = ap_read(&st.free_count[p]);
        s->alloc_count[p] = ap_read(&st.alloc_count[p]);
        s->fail_count[p] = ap_read(&st.fail_count[p]);
    }
    s->injected_count = pmem_module_injected_internal(m);
    s->limit = pmem_module_limit_internal(m);
    s->over_limit_failed = pmem_module_over_limit_internal(m);
}

void fill_statis(int32_t id, mem_statis_snapshot *s) {
    const mem_statis_figures f = mem_statis_figures_internal(id);
    const mem_statis_entry &e = f.pub;
    *s = mem_statis_snapshot{};
    s->module_name = e.module_name;
    s->mem_alloced = e.mem_alloced;
    s->peak_mem_alloced = f.peak_mem_alloced;
    s->limit = e.limit;
    s->over_limit_failed = e.over_limit_failed;
    s->injected_count = f.injected;
}

// ---- the plexes, copied -----------------------------------------------------------------

bool SysBuf::append(const void *p, size_t n) {
    if (used + n > capacity) {
        size_t grown = capacity ? 2 * capacity : 4096;
        while (grown < used + n)
            grown *= 2;
        void *mem = owned ? ap_sys_realloc(data, grown) : ap_sys_malloc(grown);
        if (!mem) return false;
        if (!owned && used) memcpy(mem, data, used);
        data = static_cast<char *>(mem);
        capacity = grown;
        owned = true;
    }
    memcpy(data + used, p, n);
    used += n;
    return true;
}

void SysBuf::release() {
    if (owned) ap_sys_free(data);
    owned = false;
}

// While copying, the pointers of a row hold offsets into the buffers, which
// may still move; they are made pointers once the copy is complete.
PlexRows::PlexRows(bool with_blocks) {
    ap_lock *registry = plex_registry_lock_internal();
    locked_ = ap_threaded();
    if (locked_) ap_lock_take(registry, kRankPlexRegistry);
    bool ok = true;
    for (const auto_plex_link *l = plex_registry.next; ok && l != &plex_registry; l = l->next) {
        const auto_plex *me = plex_of_registry_link(l);
        PlexRow row{};
        plex_guard g(me);
        fill_plex(me, &row.s);
        row.blocks = reinterpret_cast<const auto_plex_block_snapshot *>(blocks_.used);
        if (with_blocks)
            plex_for_each_block(me, [&](const auto_plex_block_snapshot &b) {
                ok = ok && blocks_.append(&b, sizeof b);
                row.block_count++;
            });
        if (const char *name = row.s.module_name) {
            row.s.module_name = reinterpret_cast<const char *>(names_.used + 1);
            ok = ok && names_.append(name, strlen(name) + 1);
        }
        ok = ok && rows_.append(&row, sizeof row);
        count_++;
    }
    if (!ok) {
        for (SysBuf *b : {&rows_, &blocks_, &names_})
            b->release();
        live_ = true;
        count_ = 0;
        for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next)
            count_++;
        return;  // the registry lock stays taken
    }
    auto *rows = reinterpret_cast<PlexRow *>(rows_.data);
    for (size_t i = 0; i < count_; i++) {
        rows[i].blocks = reinterpret_cast<const auto_plex_block_snapshot *>(
            blocks_.data + reinterpret_cast<uintptr_t>(rows[i].blocks));
        if (rows[i].s.module_name)
            rows[i].s.module_name =
                names_.data + reinterpret_cast<uintptr_t>(rows[i].s.module_name) - 1;
    }
    if (locked_) ap_lock_give(registry, kRankPlexRegistry);
    locked_ = false;
}

size_t fill_plexes(auto_plex_snapshot *out, size_t capacity) {
    ap_guard g(plex_registry_lock_internal(), kRankPlexRegistry);
    size_t n = 0;
    for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next, n++) {
        if (n >= capacity) continue;
        plex_guard pg(plex_of_registry_link(l));
        fill_plex(plex_of_registry_link(l), &out[n]);
    }
    return n;
}

PlexRows::~PlexRows() {
    for (SysBuf *b : {&rows_, &blocks_, &names_})
        b->release();
    if (locked_) ap_lock_give(plex_registry_lock_internal(), kRankPlexRegistry);
}

// ---- the tables ------------------------------------------------------------------------

namespace {

// A pool or module that has served, or refused, at least one allocation;
// the history and the metrics leave the others out.
bool pool_used(const pmem_pool_snapshot &s) {
    return s.alloc_count || s.fail_count;
}

bool module_used(const pmem_module_snapshot &s) {
    return s.alloc_size || std::any_of(std::begin(s.fail_count), std::end(s.fail_count),
                                       [](uint64_t n) { return n; });
}

using K = ApKind;
using Plex = auto_plex_snapshot;
using Pool = pmem_pool_snapshot;
using Module = pmem_module_snapshot;
using Statis = mem_statis_snapshot;
using Mallinfo = struct mallinfo2;
constexpr uint8_t J = kToJson, M = kToMetrics, H = kToHistory;

// clang-format off
constexpr ApField kPlexFields[] = {
    {"module_name", "plex", K::kLabel, "", "Name given at init; plexes sharing it are one series.", J | M | H, AP_AT(Plex, module_name)},
    {"item_size", "plex_item_size_bytes", K::kGauge, "bytes", "Object size asked for at init.", J | M | H | kFirstOfName, AP_AT(Plex, item_size)},
    {"step_alloc_num", nullptr, K::kGauge, "", "Most slots a new block gets.", J, AP_AT(Plex, step_alloc_num)},
    {"max_num", "plex_slot_limit", K::kGauge, "", "Most objects the plex may hand out (0: unbounded).", J | M, AP_AT(Plex, max_num)},
    {"alloc_num", "plex_slots", K::kGauge, "", "Slots in the blocks the plex holds (alloc_num).", J | M | H, AP_AT(Plex, alloc_num)},
    {"using_num", "plex_slots_in_use", K::kGauge, "", "Slots handed out (using_num).", J | M | H, AP_AT(Plex, using_num)},
    {"peak_using_num", "plex_slots_in_use_peak", K::kGauge, "", "Most slots handed out at once since init.", J | M | H, AP_AT(Plex, peak_using_num)},
    {"block_num", nullptr, K::kGauge, "", "Block records made at init.", J, AP_AT(Plex, block_num)},
    {"block_count", "plex_blocks", K::kGauge, "", "Blocks that own memory.", J | M, AP_AT(Plex, block_count)},
    {"full_block_count", nullptr, K::kGauge, "", "Blocks without a free slot.", J, AP_AT(Plex, full_block_count)},
    {"count_expand", "plex_blocks_created_total", K::kCounter, "", "Blocks created (count_expand).", J | M, AP_AT(Plex, count_expand)},
    {"count_clear", "plex_blocks_released_total", K::kCounter, "", "Blocks given back (count_clear).", J | M, AP_AT(Plex, count_clear)},
    {"expand_failed", "plex_grow_failures_total", K::kCounter, "", "Failed attempts to get a block or its record.", J | M, AP_AT(Plex, expand_failed)},
    {"alloc_failed", "plex_alloc_failures_total", K::kCounter, "", "Allocations that returned null.", J | M | H, AP_AT(Plex, alloc_failed)},
    {"alloc_injected", "plex_alloc_injected_failures_total", K::kCounter, "", "Of the failed allocations, those failed by fault injection.", J | M | H, AP_AT(Plex, alloc_injected)},
};

constexpr ApField kPoolFields[] = {
    {"name", "pool", K::kLabel, "", "pmem_pool_<size>.", J | M | H, AP_AT(Pool, name)},
    {"size", "size", K::kLabel, "", "Largest request the pool serves.", J | M | H, AP_AT(Pool, size)},
    {"alloc_count", "pmem_pool_allocations_total", K::kCounter, "", "Allocations the pool served.", J | M | H, AP_AT(Pool, alloc_count)},
    {"free_count", "pmem_pool_releases_total", K::kCounter, "", "Allocations given back to the pool.", J | M, AP_AT(Pool, free_count)},
    {"fail_count", "pmem_pool_failures_total", K::kCounter, "", "Allocations refused for lack of memory.", J | M | H, AP_AT(Pool, fail_count)},
    {"live_count", "pmem_pool_live", K::kGauge, "", "Live allocations.", J | M | H, AP_AT(Pool, live_count)},
    {"peak_live_count", "pmem_pool_live_peak", K::kGauge, "", "Most live allocations at once.", J | M | H, AP_AT(Pool, peak_live_count)},
    {"injected_count", "pmem_pool_injected_failures_total", K::kCounter, "", "Of the failures, those made by fault injection.", J | M | H, AP_AT(Pool, injected_count)},
};

constexpr ApField kModuleFields[] = {
    {"name", "module", K::kLabel, "", "The module's name.", J | M | H, AP_AT(Module, name)},
    {"alloc_size", "pmem_module_allocated_bytes_total", K::kCounter, "bytes", "Usable bytes allocated.", J | M | H, AP_AT(Module, alloc_size)},
    {"free_size", "pmem_module_released_bytes_total", K::kCounter, "bytes", "Usable bytes given back.", J | M, AP_AT(Module, free_size)},
    {"live_bytes", "pmem_module_live_bytes", K::kGauge, "bytes", "Usable bytes held now.", J | M | H, AP_AT(Module, live_bytes)},
    {"peak_live_bytes", "pmem_module_live_bytes_peak", K::kGauge, "bytes", "Most usable bytes held at once.", J | M | H, AP_AT(Module, peak_live_bytes)},
    {"fail_count", "pmem_module_failures_total", K::kCounter, "", "Allocations refused for lack of memory or by the ceiling.", M | H, AP_AT(Module, fail_count)},
    {"injected_count", "pmem_module_injected_failures_total", K::kCounter, "", "Of the failures, those made by fault injection.", J | M | H, AP_AT(Module, injected_count)},
    {"limit", "pmem_module_limit_bytes", K::kGauge, "bytes", "The module's ceiling on requested bytes (0: none).", J | M | H, AP_AT(Module, limit)},
    {"over_limit_failed", "pmem_module_limit_refusals_total", K::kCounter, "", "Requests refused by the ceiling.", J | M | H, AP_AT(Module, over_limit_failed)},
};

constexpr ApField kStatisFields[] = {
    {"module_name", "module", K::kLabel, "", "The name registered.", J | M | H, AP_AT(Statis, module_name)},
    {"mem_alloced", "accounted_bytes", K::kGauge, "bytes", "Usable bytes the module holds.", J | M | H, AP_AT(Statis, mem_alloced)},
    {"peak_mem_alloced", "accounted_bytes_peak", K::kGauge, "bytes", "Most usable bytes the module held at once.", J | M | H, AP_AT(Statis, peak_mem_alloced)},
    {"limit", "accounted_limit_bytes", K::kGauge, "bytes", "The module's ceiling (0: none).", J | M | H, AP_AT(Statis, limit)},
    {"over_limit_failed", "accounted_refusals_total", K::kCounter, "", "Requests refused by the ceiling.", J | M | H, AP_AT(Statis, over_limit_failed)},
    {"injected_count", "accounted_injected_failures_total", K::kCounter, "", "Allocation calls failed by fault injection.", J | M | H, AP_AT(Statis, injected_count)},
};

constexpr ApField kMallinfoFields[] = {
    {"arena", "mallinfo_arena_bytes", K::kGauge, "bytes", "Non-mmapped bytes the system allocator holds (arena).", J | M | H, AP_AT(Mallinfo, arena)},
    {"ordblks", "mallinfo_free_chunks", K::kGauge, "", "Free chunks (ordblks).", J | M, AP_AT(Mallinfo, ordblks)},
    {"smblks", "mallinfo_fastbin_chunks", K::kGauge, "", "Free fastbin chunks (smblks).", J | M, AP_AT(Mallinfo, smblks)},
    {"hblks", "mallinfo_mapped_regions", K::kGauge, "", "Mapped regions (hblks).", J | M, AP_AT(Mallinfo, hblks)},
    {"hblkhd", "mallinfo_mapped_bytes", K::kGauge, "bytes", "Bytes in mapped regions (hblkhd).", J | M | H, AP_AT(Mallinfo, hblkhd)},
    {"usmblks", "mallinfo_max_allocated_bytes", K::kGauge, "bytes", "Maximum total allocated space (usmblks).", J | M, AP_AT(Mallinfo, usmblks)},
    {"fsmblks", "mallinfo_fastbin_free_bytes", K::kGauge, "bytes", "Bytes in free fastbin chunks (fsmblks).", J | M, AP_AT(Mallinfo, fsmblks)},
    {"uordblks", "mallinfo_allocated_bytes", K::kGauge, "bytes", "Bytes allocated (uordblks).", J | M | H, AP_AT(Mallinfo, uordblks)},
    {"fordblks", "mallinfo_free_bytes", K::kGauge, "bytes", "Bytes free (fordblks).", J | M | H, AP_AT(Mallinfo, fordblks)},
    {"keepcost", "mallinfo_releasable_bytes", K::kGauge, "bytes", "Topmost releasable bytes (keepcost).", J | M, AP_AT(Mallinfo, keepcost)},
};
// clang-format on

// ---- the rows of each record -----------------------------------------------------------

void each_plex(ApVisit visit, void *ctx, const void *source) {
    auto rows = [&](const PlexRows &r) {
        r.each([&](const PlexRow &row, size_t index) { visit(&row, index, ctx); });
    };
    if (source) return rows(*static_cast<const PlexRows *>(source));
    rows(PlexRows(true));
}

void each_pool(ApVisit visit, void *ctx, const void *) {
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        pmem_pool_snapshot s;
        fill_pool(p, &s);
        visit(&s, p, ctx);
    }
}

void each_module(ApVisit visit, void *ctx, const void *) {
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        pmem_module_snapshot s;
        fill_module(m, &s);
        visit(&s, m, ctx);
    }
}

void each_statis(ApVisit visit, void *ctx, const void *) {
    const mem_statis_table t = mem_statis_table_internal();
    for (int32_t id = 0; id < t.registered; id++) {
        mem_statis_snapshot s;
        fill_statis(id, &s);
        visit(&s, size_t(id), ctx);
    }
}

void each_mallinfo(ApVisit visit, void *ctx, const void *) {
    const struct mallinfo2 mi = mallinfo2();
    visit(&mi, 0, ctx);
}

void plex_blocks(ApJson &j, const void *row) {
    j.begin_array("blocks");
    plex_row_blocks(*static_cast<const PlexRow *>(row), [&j](const auto_plex_block_snapshot &b) {
        char address[sizeof "0x0123456789abcdef"];
        snprintf(address, sizeof address, "%p", static_cast<const void *>(b.block));
        j.begin_object();
        j.str("block", address);
        j.u64("alloc_num", b.alloc_num);
        j.u64("using_num", b.using_num);
        j.end_object();
    });
    j.end_array();
}

// Only the pools the module touched, as in the file report; an absent pool
// has all three counts 0.
void module_pools(ApJson &j, const void *row) {
    const auto &s = *static_cast<const Module *>(row);
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
}

}  // namespace

extern constexpr ApRecord kPlexRecord = {
    kPlexFields, std::size(kPlexFields), nullptr, each_plex, nullptr, 0, plex_blocks};
extern constexpr ApRecord kPoolRecord = {
    kPoolFields,
    std::size(kPoolFields),
    "pool",
    each_pool,
    [](const void *row) { return pool_used(*static_cast<const Pool *>(row)); },
    kToHistory,
    nullptr};
extern constexpr ApRecord kModuleRecord = {
    kModuleFields,
    std::size(kModuleFields),
    "mid",
    each_module,
    [](const void *row) { return module_used(*static_cast<const Module *>(row)); },
    kToMetrics | kToHistory,
    module_pools};
extern constexpr ApRecord kStatisRecord = {
    kStatisFields, std::size(kStatisFields), "id", each_statis, nullptr, 0, nullptr};
extern constexpr ApRecord kMallinfoRecord = {
    kMallinfoFields, std::size(kMallinfoFields), nullptr, each_mallinfo, nullptr, 0, nullptr};

// ---- reading and writing fields --------------------------------------------------------

ApValue ap_read(const ApField &f, const void *row) {
    const char *at = static_cast<const char *>(row) + f.offset;
    ApValue v;
    v.type = f.type;
    switch (f.type) {
        case ApType::kU64:
            memcpy(&v.u, at, sizeof v.u);
            break;
        case ApType::kI64:
            memcpy(&v.i, at, sizeof v.i);
            break;
        case ApType::kU32: {
            uint32_t u32;
            memcpy(&u32, at, sizeof u32);
            v.u = u32;
            break;
        }
        case ApType::kStr:
            memcpy(&v.s, at, sizeof v.s);
            break;
        case ApType::kPoolSum: {
            uint64_t counts[PMEM_POOL_ID_N];
            memcpy(counts, at, sizeof counts);
            v.u = 0;
            for (uint64_t n : counts)
                v.u += n;
            break;
        }
    }
    return v;
}

namespace {

// The members of one row that `output` carries, into an open object.
void json_members(ApJson &j, const ApRecord &r, const void *row, uint8_t output) {
    for (const ApField &f : r) {
        if (!(f.outputs & output)) continue;
        const ApValue v = ap_read(f, row);
        switch (v.type) {
            case ApType::kI64:
                j.i64(f.key, v.i);
                break;
            case ApType::kStr:
                j.str(f.key, v.s);
                break;
            default:
                j.u64(f.key, v.u);
        }
    }
}

}  // namespace

void ap_json_rows(ApJson &j, const char *key, const ApRecord &r, uint8_t output,
                  const void *source) {
    j.begin_array(key);
    ap_each_row(
        r,
        [&](const void *row, size_t index) {
            if ((r.filtered & output) && !r.used(row)) return;
            j.begin_object();
            if (output == kToJson && r.index_key) j.u64(r.index_key, index);
            json_members(j, r, row, output);
            if (output == kToJson && r.json_extra) r.json_extra(j, row);
            j.end_object();
        },
        source);
    j.end_array();
}

void ap_json_mallinfo(ApJson &j, uint8_t output) {
    ap_each_row(kMallinfoRecord, [&](const void *row, size_t) {
        j.begin_object("mallinfo2");
        json_members(j, kMallinfoRecord, row, output);
        j.end_object();
    });
}
