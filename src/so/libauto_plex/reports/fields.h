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
void fill_statis(int32_t id, mem_statis_snapshot *s);

// The blocks of a plex that own memory, by address; `visit` returns nothing.
// A record without block memory stops in plex_using_num ("me && me->head").
// The caller holds the plex's lock.
template <class Visit>
void plex_for_each_block(const auto_plex *me, Visit &&visit) {
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const auto_plex_block *block = plex_block_of_node(n);
        const uint64_t using_num = plex_using_num(&block->ctl);
        visit(auto_plex_block_snapshot{block, plex_head_of(&block->ctl)->alloc_num, using_num});
    }
}

// ---- the plexes, copied ----------------------------------------------------------------
//
// Plexes come and go while a report runs, and a report may call the host
// back or write to a pipe, so no report formats while it holds a lock.  The
// plex outputs therefore read a copy: every registered plex's snapshot, its
// blocks and its name, taken under the registry lock and each plex's own.
// When the memory for the copy cannot be had, the rows are read as they are
// visited instead, with the registry lock held until the copy's end (and
// each plex's lock while its figures or blocks are read): the output is the
// same, but a host callback must not register or clear a plex meanwhile.

// The first `capacity` plexes' snapshots into `out`, names as the plexes'
// own; the number of plexes.
size_t fill_plexes(auto_plex_snapshot *out, size_t capacity);

struct PlexRow {
    auto_plex_snapshot s;  // first: the row the field tables read; the name is the copy's
    const auto_plex_block_snapshot *blocks;
    size_t block_count;
    bool live;  // read from the plex itself (s.plex), not from a copy
};

// A growing array: in the caller's `local` storage first, then from the
// system allocator.
struct SysBuf {
    char *data;
    size_t used = 0, capacity;
    bool owned = false;
    SysBuf(char *local, size_t n) : data(local), capacity(n) {}
    bool append(const void *p, size_t n);
    void release();
};

class PlexRows {
  public:
    // `with_blocks`: also copy each plex's blocks (the outputs that list
    // them).  Up to 64 plexes with short names, a copy without blocks needs
    // no memory beyond the object itself.
    explicit PlexRows(bool with_blocks = false);
    ~PlexRows();
    PlexRows(const PlexRows &) = delete;
    PlexRows &operator=(const PlexRows &) = delete;

    size_t size() const { return count_; }
    // visit(row, index) for each plex, newest first.
    template <class Visit>
    void each(Visit &&visit) const {
        if (!live_) {
            for (size_t i = 0; i < count_; i++)
                visit(reinterpret_cast<const PlexRow *>(rows_.data)[i], i);
            return;
        }
        size_t index = 0;
        for (const auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
            PlexRow row{};
            row.live = true;
            const auto_plex *me = plex_of_registry_link(l);
            {
                plex_guard g(me);
                fill_plex(me, &row.s);
            }
            visit(const_cast<const PlexRow &>(row), index++);
        }
    }

  private:
    static constexpr size_t kLocalRows = 64;
    alignas(16) char local_rows_[kLocalRows * sizeof(PlexRow)];
    char local_names_[kLocalRows * 32];
    SysBuf rows_{local_rows_, sizeof local_rows_}, blocks_{nullptr, 0},
        names_{local_names_, sizeof local_names_};
    size_t count_ = 0;
    bool live_ = false;
    bool locked_ = false;  // the registry lock, held for a live copy
};

// visit(block) for each block of a row's plex, by address.
template <class Visit>
void plex_row_blocks(const PlexRow &row, Visit &&visit) {
    if (!row.live) {
        for (size_t b = 0; b < row.block_count; b++)
            visit(row.blocks[b]);
        return;
    }
    plex_guard g(row.s.plex);
    plex_for_each_block(row.s.plex, visit);
}

// The plex reports' totals: requested item size, not slot size, as hosts
// size their bounds in objects of that size.
struct PlexTotals {
    uint64_t max_mem = 0, allocated = 0, used = 0, injected = 0;
    void add(const auto_plex_snapshot &s) {
        injected += s.alloc_injected;
        max_mem += s.item_size * s.max_num;
        allocated += s.item_size * s.alloc_num;
        used += s.item_size * s.using_num;
    }
};

// pmem's totals over its modules.
struct PmemTotals {
    uint64_t allocated = 0, freed = 0, injected = 0;
    void add(const pmem_module_snapshot &s) {
        injected += s.injected_count;
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
// `source`: for the plexes, the PlexRows to read (null: a copy of their own).
using ApVisit = void (*)(const void *row, size_t index, void *ctx);
using ApEach = void (*)(ApVisit visit, void *ctx, const void *source);

struct ApRecord {
    const ApField *fields;
    size_t count;
    const char *index_key;  // the JSON report's member for the position; null: none
    ApEach each;
    bool (*used)(const void *row);  // rows the outputs in `filtered` leave out unless used
    uint8_t filtered;
    void (*json_extra)(ApJson &j, const void *row);  // members only the JSON report has
    const ApField *begin() const { return fields; }
    const ApField *end() const { return fields + count; }
};

extern const ApRecord kPlexRecord, kPoolRecord, kModuleRecord, kStatisRecord, kMallinfoRecord;

template <class F>
void ap_each_row(const ApRecord &r, F &&visit, const void *source = nullptr) {
    using Visit = std::remove_reference_t<F>;
    r.each(
        [](const void *row, size_t index, void *ctx) { (*static_cast<Visit *>(ctx))(row, index); },
        const_cast<std::remove_const_t<Visit> *>(&visit), source);
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
void ap_json_rows(ApJson &j, const char *key, const ApRecord &r, uint8_t output,
                  const void *source = nullptr);
// glibc's statistics now, as an object under "mallinfo2".
void ap_json_mallinfo(ApJson &j, uint8_t output);

#endif
