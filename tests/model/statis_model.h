// Reference model of the module accounting table: names and ids, table
// capacity, and per module the bytes held, the ceiling and the refusals.
// Byte amounts are malloc_usable_size of the blocks, which the harness reads
// and passes in (before a release, while the block still exists).
#ifndef AUTO_PLEX_TESTS_STATIS_MODEL_H
#define AUTO_PLEX_TESTS_STATIS_MODEL_H

#include <gtest/gtest.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "private/malloc_statis_private.h"

namespace model {

class StatisModel {
  public:
    struct Entry {
        std::string name;
        int64_t held = 0;
        uint64_t limit = 0;
        uint64_t refused = 0;
    };

    int registered() const { return static_cast<int>(entries_.size()); }
    const Entry &entry(int id) const { return entries_[id]; }

    // reg_module_id(name) returned `got`; system calls in order: the table's
    // growth when it is full, then the name copy.
    ::testing::AssertionResult reg(const char *name, int got, int fail_at) {
        int want = -1;
        if (name) {
            for (size_t id = 0; id < entries_.size() && want < 0; id++)
                if (entries_[id].name == name) want = static_cast<int>(id);
            if (want < 0) {
                int call = 1;
                bool ok = true;
                if (capacity_ <= registered()) {
                    ok = fail_at != call++;
                    if (ok) capacity_ = capacity_ ? 2 * capacity_ : 32;
                }
                if (ok && fail_at == call) ok = false;
                if (ok) {
                    want = registered();
                    entries_.push_back(Entry{name});
                }
            }
        }
        if (got != want)
            return ::testing::AssertionFailure() << "reg_module_id " << got << ", model " << want;
        return ::testing::AssertionSuccess();
    }

    void set_limit(int id, uint64_t limit) { entries_[id].limit = limit; }

    // An allocating call of `request` bytes that gives back `released`
    // (realloc's old block): true when the ceiling refuses it (counted).
    bool refuses(int id, unsigned __int128 request, uint64_t released) {
        Entry &e = entries_[id];
        if (e.limit == 0) return false;
        __int128 projected = static_cast<__int128>(request) + e.held - released;
        if (projected <= static_cast<__int128>(e.limit)) return false;
        e.refused++;
        return true;
    }

    void refused(int id) { entries_[id].refused++; }

    // The block `got` (null: refused or failed) of an allocating call that the
    // model expects to reach the system allocator when `reaches` is true.
    ::testing::AssertionResult allocated(int id, bool reaches, int fail_at, const void *got,
                                         uint64_t got_usable, uint64_t released) {
        bool want = reaches && fail_at != 1;
        if (want != (got != nullptr))
            return ::testing::AssertionFailure()
                   << "accounted allocation " << (got ? "served" : "null") << " against the model";
        if (got) entries_[id].held += static_cast<int64_t>(got_usable) - released;
        return ::testing::AssertionSuccess();
    }

    void released(int id, uint64_t usable) { entries_[id].held -= usable; }
    void added(int id, uint64_t usable) { entries_[id].held += usable; }

    // The library's table against the model: every entry, or only `id`.
    ::testing::AssertionResult matches(int id = -1) const {
        mem_statis_table v = mem_statis_table_internal();
        std::ostringstream err;
        if (v.registered != registered()) err << "registered " << v.registered << "; ";
        if (v.capacity != capacity_) err << "capacity " << v.capacity << "; ";
        for (int i = 0; i < registered() && i < v.registered; i++) {
            if (id >= 0 && i != id) continue;
            const mem_statis_entry &lib = v.records[i].pub;
            const Entry &mod = entries_[i];
            if (!lib.module_name || mod.name != lib.module_name) err << "name of " << i << "; ";
            if (lib.mem_alloced != mod.held)
                err << "module " << i << " holds " << lib.mem_alloced << ", model " << mod.held
                    << "; ";
            if (lib.limit != mod.limit || lib.over_limit_failed != mod.refused)
                err << "module " << i << " limit/refusals differ; ";
        }
        if (!err.str().empty()) return ::testing::AssertionFailure() << err.str();
        return ::testing::AssertionSuccess();
    }

    // After mem_statis_reset_internal.
    void reset() {
        entries_.clear();
        capacity_ = 0;
    }

  private:
    std::vector<Entry> entries_;
    int capacity_ = 0;
};

}  // namespace model

#endif
