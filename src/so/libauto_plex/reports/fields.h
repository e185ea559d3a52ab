// The records the reports export and one table of fields for each (private
// header of the reports layer).
//
// A table row names a field of a snapshot record once: its JSON and history
// key, its metric family (or, for a label, the label's name), its kind, unit
// and help text, where it sits in the record, and which outputs carry it.
// The JSON reports, the metrics and the history line walk these tables
// against their own sink, so a counter added to a record is one row here and
// appears in every output its row names.  The text reports keep their own
// fixed texts but read the same snapshots, filled by the functions below.
#ifndef LIBAUTO_PLEX_REPORTS_FIELDS_H
#define LIBAUTO_PLEX_REPORTS_FIELDS_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "ap_stats.h"
#include "private/auto_plex_private.h"
#include "private/malloc_statis_private.h"
#include "reports/json_writer.h"

// ---- snapshots -----------------------------------------------------------------------

void fill_plex(const auto_plex *me, auto_plex_snapshot *s);
void fill_pool(unsigned pool, pmem_pool_snapshot *s);
void fill_module(unsigned mid, pmem_module_snapshot *s);
void fill_statis(const mem_statis_table &t, int32_t id, mem_statis_snapshot *s);

// The blocks of a plex that own memory, by address; `visit` returns nothing.
// A record without block memory stops in plex_using_num ("me && me->head").
template <class Visit>
void plex_for_each_block(const auto_plex *me, Visit &&visit) {
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const auto_plex_block *block = plex_block_of_node(n);
        const uint64_t using_num = plex_using_num(&block->ctl);
        visit(auto_plex_block_snapshot{block, plex_head_of(&block->ctl)->alloc_num, using_num});
    }
}

// The plex reports' totals: requested item size, not slot size, as hosts
// size their bounds in objects of that size.
struct PlexTotals {
    uint64_t max_mem = 0, allocated = 0, used = 0;
    void add(const auto_plex_snapshot &s) {
        max_mem += s.item_size * s.max_num;
        allocated += s.item_size * s.alloc_num;
        used += s.item_size * s.using_num;
    }
};

// pmem's totals over its modules.
struct PmemTotals {
    uint64_t allocated = 0, freed = 0;
    void add(const pmem_module_snapshot &s) {
        allocated += s.alloc_size;
        freed += s.free_size;
    }
};

// ---- field tables --------------------------------------------------------------------

enum class ApKind : uint8_t { kLabel, kGauge, kCounter };

// How a field is stored.  kPoolSum: a per-pool count array, exported as its
// sum.
enum class ApType : uint8_t { kU64, kI64, kU32, kStr, kPoolSum };

enum : uint8_t {
    kToJson = 1,       // the JSON reports
    kToMetrics = 2,    // the Prometheus metrics
    kToHistory = 4,    // the history line
    kFirstOfName = 8,  // plexes sharing a name report the first one's value, not the sum
};

struct ApField {
    const char *key;     // JSON and history member
    const char *metric;  // family after "auto_plex_"; a label's name; null: not in the metrics
    ApKind kind;
    const char *unit;  // in the metric's name too; "" for counts
    const char *help;
    uint8_t outputs;
    uint16_t offset;
    ApType type;
};

template <class T>
consteval ApType ap_type_of() {
    if constexpr (std::is_same_v<T, uint64_t>)
        return ApType::kU64;
    else if constexpr (std::is_same_v<T, int64_t>)
        return ApType::kI64;
    else if constexpr (std::is_same_v<T, uint32_t>)
        return ApType::kU32;
    else if constexpr (std::is_same_v<T, const char *>)
        return ApType::kStr;
    else if constexpr (std::is_same_v<T, uint64_t[PMEM_POOL_ID_N]>)
        return ApType::kPoolSum;
    else
        static_assert(!sizeof(T), "a field type the writers cannot print");
}
static_assert(std::is_same_v<size_t, uint64_t>, "mallinfo2's size_t fields are read as uint64_t");

// Where `member` of `Record` is and how it is read.
#define AP_AT(Record, member) \
    uint16_t(offsetof(Record, member)), ap_type_of<decltype(Record::member)>()

// Every row of a record, with its position (the pool, module or id number).
using ApVisit = void (*)(const void *row, size_t index, void *ctx);

struct ApRecord {
    const ApField *fields;
    size_t count;
    const char *index_key;  // the JSON report's member for the position; null: none
    void (*each)(ApVisit visit, void *ctx);
    bool (*used)(const void *row);  // rows the outputs in `filtered` leave out unless used
    uint8_t filtered;
    void (*json_extra)(ApJson &j, const void *row);  // members only the JSON report has
    const ApField *begin() const { return fields; }
    const ApField *end() const { return fields + count; }
};

extern const ApRecord kPlexRecord, kPoolRecord, kModuleRecord, kStatisRecord, kMallinfoRecord;

template <class F>
void ap_each_row(const ApRecord &r, F &&visit) {
    using Visit = std::remove_reference_t<F>;
    r.each(
        [](const void *row, size_t index, void *ctx) { (*static_cast<Visit *>(ctx))(row, index); },
        const_cast<std::remove_const_t<Visit> *>(&visit));
}

struct ApValue {
    ApType type;
    union {
        uint64_t u;
        int64_t i;
        const char *s;
    };
};
ApValue ap_read(const ApField &f, const void *row);

// Every row `output` carries, as an array of objects under `key`.
void ap_json_rows(ApJson &j, const char *key, const ApRecord &r, uint8_t output);
// glibc's statistics now, as an object under "mallinfo2".
void ap_json_mallinfo(ApJson &j, uint8_t output);

#endif
