// Reference model of pmem after pmem_init: which pool serves a request, what
// the header and usable size of each allocation are, every pool and module
// counter, and the in-place/move rule of realloc.  Pools 0..25 are predicted
// slot by slot by one PlexModel each; pool 26 is the system allocator, whose
// usable sizes the model reads from the returned block.
//
// The counters are process-wide and never reset, so the model starts from a
// snapshot and predicts every change from there.
#ifndef AUTO_PLEX_TESTS_PMEM_MODEL_H
#define AUTO_PLEX_TESTS_PMEM_MODEL_H

#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>

#include <array>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "plex_model.h"
#include "pmem.h"

namespace model {

class PmemModel {
  public:
    static constexpr unsigned kPools = 27, kPlexPools = 26, kSystemPool = 26;
    static constexpr uint64_t kMaxRequest = uint64_t{1} << 30;
    static constexpr std::array<uint64_t, kPools> kSizes = {
        0,    16,   32,   64,   128,  256,  320,  384,  448,  512,  640,  768,  896,        1024,
        1280, 1536, 1792, 2048, 2560, 3072, 3584, 4096, 5120, 6144, 7168, 8192, kMaxRequest};

    // The lowest pool holding the request rounded up to 16; -1 above 1 GiB.
    static int pool_for(uint64_t size) {
        if (size > kMaxRequest) return -1;
        uint64_t rounded = (size + 15) / 16 * 16;
        for (unsigned p = 0; p < kPools; p++)
            if (kSizes[p] >= rounded) return static_cast<int>(p);
        return -1;
    }

    // Requires pmem_init to have run.
    PmemModel() {
        for (unsigned p = 0; p < kPlexPools; p++)
            plexes_[p] = std::make_unique<PlexModel>(pmem_pools[p].pool_plex);
        memcpy(pools_, pmem_pool_stats, sizeof pools_);
        memcpy(modules_, pmem_module_stats, sizeof modules_);
    }

    PlexModel &plex(unsigned p) { return *plexes_[p]; }
    bool is_live(const void *ptr) const { return live_.count(ptr) != 0; }

    // pmem_malloc(mid, size) (and the allocation inside calloc, realloc and
    // the string copies) returned `got` with the fail_at-th system call of
    // the call failing (0: none).
    ::testing::AssertionResult alloc(uint16_t mid, uint64_t size, void *got, int fail_at) {
        int p = pool_for(size);
        if (p < 0) {
            if (got) return ::testing::AssertionFailure() << "above 1 GiB served: " << size;
            return ::testing::AssertionSuccess();
        }
        touched_pools_.insert(static_cast<unsigned>(p));
        touched_mids_.insert(mid);
        bool served;
        if (p < static_cast<int>(kPlexPools)) {
            void *slot = got ? static_cast<char *>(got) - PMEM_HEADER_SIZE : nullptr;
            auto r = plexes_[p]->alloc(pmem_pools[p].pool_plex, slot, fail_at);
            if (!r) return r << " (pool " << p << ")";
            served = got != nullptr;
        } else {
            served = fail_at != 1;
            if (served != (got != nullptr))
                return ::testing::AssertionFailure()
                       << "pool 26 " << (got ? "served" : "failed") << " against the model";
        }
        if (!served) {
            pools_[p].fail_count++;
            modules_[mid].fail_count[p]++;
            return ::testing::AssertionSuccess();
        }

        const auto *h =
            reinterpret_cast<const pmem_header *>(static_cast<char *>(got) - PMEM_HEADER_SIZE);
        uint64_t usable = p == static_cast<int>(kSystemPool)
                              ? malloc_usable_size(const_cast<pmem_header *>(h)) - PMEM_HEADER_SIZE
                              : kSizes[p];
        std::ostringstream err;
        if (reinterpret_cast<uintptr_t>(got) % 16) err << "area not 16-byte aligned; ";
        if (h->magic != PMEM_MAGIC || h->pool_id != p || h->mid != mid ||
            (h->flags & PMEM_FLAG_FREED))
            err << "header (magic, pool " << h->pool_id << ", mid " << h->mid << ", flags "
                << int{h->flags} << ") wrong; ";
        if (usable < size) err << "usable size " << usable << " below request " << size << "; ";
        if (pmem_ptr2size(got) != usable) err << "pmem_ptr2size " << pmem_ptr2size(got) << "; ";
        if (!err.str().empty()) return ::testing::AssertionFailure() << err.str();

        pools_[p].alloc_count++;
        modules_[mid].alloc_size += usable;
        modules_[mid].alloc_count[p]++;
        live_[got] = Live{static_cast<unsigned>(p), mid, usable};
        return ::testing::AssertionSuccess();
    }

    // pmem_free(ptr) of a live allocation (or null).
    void free(void *ptr) {
        if (!ptr) return;
        Live l = live_.at(ptr);
        live_.erase(ptr);
        touched_pools_.insert(l.pool);
        touched_mids_.insert(l.mid);
        pools_[l.pool].free_count++;
        modules_[l.mid].free_size += l.usable;
        modules_[l.mid].free_count[l.pool]++;
        if (l.pool < kPlexPools) plexes_[l.pool]->free(static_cast<char *>(ptr) - PMEM_HEADER_SIZE);
    }

    // What pmem_realloc(mid, ptr, size) must do, before it is called:
    // kInPlace (returns ptr), kRefuse (null, nothing changes), or kMove.
    enum class Resize { kAllocate, kInPlace, kRefuse, kReleaseThenZero, kMove };
    Resize resize_kind(uint16_t mid, const void *ptr, uint64_t size) const {
        if (!ptr) return Resize::kAllocate;
        if (size == 0) return Resize::kReleaseThenZero;
        int p = pool_for(size);
        if (p < 0) return Resize::kRefuse;
        const Live &l = live_.at(ptr);
        if (static_cast<unsigned>(p) == l.pool && l.pool != kSystemPool && l.mid == mid)
            return Resize::kInPlace;
        return Resize::kMove;
    }
    uint64_t usable(const void *ptr) const { return live_.at(ptr).usable; }

    // Counters of the pools and modules touched since the last call (all of
    // them with everything true), and the touched plexes.
    ::testing::AssertionResult matches(bool everything) {
        std::ostringstream err;
        for (unsigned p = 0; p < kPools; p++) {
            if (!everything && !touched_pools_.count(p)) continue;
            const pool_statis &lib = pmem_pool_stats[p];
            if (lib.alloc_count != pools_[p].alloc_count ||
                lib.free_count != pools_[p].free_count || lib.fail_count != pools_[p].fail_count)
                err << "pool " << p << " counters differ; ";
            if (p < kPlexPools) {
                bool full = everything || plexes_[p]->structure_events() != seen_events_[p];
                auto r = plexes_[p]->matches(pmem_pools[p].pool_plex, full);
                if (!r) err << "pool " << p << " plex: " << r.message() << "; ";
                seen_events_[p] = plexes_[p]->structure_events();
            }
        }
        for (unsigned m = 0; m < PMEM_MID_N; m++) {
            if (!everything && !touched_mids_.count(m)) continue;
            const module_statis &lib = pmem_module_stats[m];
            const module_statis &mod = modules_[m];
            if (lib.alloc_size != mod.alloc_size || lib.free_size != mod.free_size ||
                memcmp(lib.alloc_count, mod.alloc_count, sizeof mod.alloc_count) != 0 ||
                memcmp(lib.free_count, mod.free_count, sizeof mod.free_count) != 0 ||
                memcmp(lib.fail_count, mod.fail_count, sizeof mod.fail_count) != 0)
                err << "module " << m << " counters differ; ";
        }
        touched_pools_.clear();
        touched_mids_.clear();
        if (!err.str().empty()) return ::testing::AssertionFailure() << err.str();
        return ::testing::AssertionSuccess();
    }

    // System blocks held by the 26 plexes, each with its name copy.
    size_t system_blocks() const {
        size_t n = 0;
        for (const auto &p : plexes_)
            n += 1 + p->system_blocks();
        return n;
    }

  private:
    struct Live {
        unsigned pool;
        uint16_t mid;
        uint64_t usable;
    };
    std::unique_ptr<PlexModel> plexes_[kPlexPools];
    uint64_t seen_events_[kPlexPools] = {};
    pool_statis pools_[kPools];
    module_statis modules_[PMEM_MID_N];
    std::map<const void *, Live> live_;
    std::set<unsigned> touched_pools_, touched_mids_;
};

}  // namespace model

#endif
