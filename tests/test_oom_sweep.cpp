// Exhaustive out-of-memory sweeps: each fixed scenario is run once for every
// k, with the k-th system allocation of the run failing, until a run makes
// fewer than k allocations (it completed without a failure).  The reference
// models predict every result and counter for that failure point, and after
// each run the seam must show exactly the blocks the pools keep, nothing more.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "auto_plex.h"
#include "fault.h"
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "plex_model.h"
#include "pmem.h"
#include "pmem_model.h"
#include "statis_model.h"

namespace {

// Runs `call` with the k-th allocation of the run armed; `fail_at` receives
// which allocation of this call failed (0: none of them).
template <class F>
auto step(long k, int *fail_at, F call) {
    long before = ap_fault::calls();
    auto r = call();
    long after = ap_fault::calls();
    *fail_at = k > before && k <= after ? static_cast<int>(k - before) : 0;
    return r;
}

// Sweeps k = 1.. and returns the number of failure points: `run(k)` runs the
// scenario once and returns false when it did not reach its k-th allocation.
template <class F>
long sweep(F run) {
    long k = 1;
    for (;; k++) {
        ap_fault::reset();
        ap_fault::fail_nth(k);
        bool reached = run(k);
        ap_fault::reset();
        if (::testing::Test::HasFatalFailure() || ::testing::Test::HasFailure()) break;
        if (!reached) break;
    }
    return k - 1;
}

// ---- pools -------------------------------------------------------------------

// Expected init result: the name copy, then one record per block_num.
bool init_survives(int fail_at, uint64_t records) {
    return fail_at == 0 || static_cast<uint64_t>(fail_at) > 1 + records;
}

// Grows past two blocks, drains so a block is released, regrows (reusing its
// record) and clears; a bounded plex runs into its bound on the way.
void plex_scenario(long k, uint64_t item, uint64_t max, uint64_t records, int n) {
    long live_before = ap_fault::live();
    auto_plex p;
    int fail_at;
    int rc = step(k, &fail_at, [&] { return auto_plex_init(&p, item, max, "sweep"); });
    ASSERT_EQ(rc, init_survives(fail_at, records) ? 0 : -12) << "k " << k;
    if (rc != 0) {
        EXPECT_EQ(ap_fault::live(), live_before) << "k " << k;
        return;
    }
    model::PlexModel m(p);
    std::vector<void *> live;
    auto alloc = [&] {
        void *s = step(k, &fail_at, [&] { return auto_plex_alloc(&p); });
        ASSERT_TRUE(m.alloc(p, s, fail_at)) << "k " << k;
        if (s) live.push_back(s);
    };
    for (int i = 0; i < n; i++) {
        alloc();
        if (::testing::Test::HasFatalFailure()) return;
    }
    ASSERT_TRUE(m.matches(p)) << "k " << k;
    while (live.size() > 4) {  // from the top, so whole blocks empty
        auto_plex_free(&p, live.back());
        m.free(live.back());
        live.pop_back();
    }
    ASSERT_TRUE(m.matches(p)) << "k " << k;
    for (int i = 0; i < n / 2; i++) {
        alloc();
        if (::testing::Test::HasFatalFailure()) return;
    }
    ASSERT_TRUE(m.matches(p)) << "k " << k;
    EXPECT_EQ(ap_fault::live() - live_before, static_cast<long>(1 + m.system_blocks()))
        << "k " << k;
    auto_plex_clear(&p);
    EXPECT_EQ(ap_fault::live(), live_before) << "k " << k;
}

// Every failure point of init, growth, record creation and regrowth leaves
// the counters the model predicts and leaks nothing.
TEST(OomSweep, PoolsAtEveryFailurePoint) {
    struct Case {
        uint64_t item, max, records;
        int n;
    } cases[] = {
        {1000, 0, 1, 800},      // unbounded, blocks of 256 slots
        {8, 0, 1, 40000},       // unbounded, tiny slots
        {1024, 1000, 7, 1100},  // bounded over several records, past its bound
        {32, 1000, 1, 1001},    // bounded, one record
    };
    long points = 0;
    for (const Case &c : cases)
        points += sweep([&](long k) {
            plex_scenario(k, c.item, c.max, c.records, c.n);
            return ap_fault::calls() >= k;
        });
    printf("[sweep] pools: %ld failure points\n", points);
    EXPECT_GT(points, 20);
}

// ---- pmem --------------------------------------------------------------------

// pmem_init stops the process when any pool cannot be set up: 26 name copies
// and 26 block records, each made to fail once.
TEST(OomSweepDeathTest, PmemInitAbortsAtEveryFailurePoint) {
    for (long k = 1; k <= 52; k++)
        EXPECT_DEATH(
            {
                ap_fault::fail_nth(k);
                pmem_init();
            },
            "")
            << "k " << k;
    if (pmem_inited) return;  // the whole binary in one process
    ap_fault::reset();
    ASSERT_EQ(pmem_init(), 0);
    EXPECT_EQ(ap_fault::calls(), 52);
    printf("[sweep] pmem_init: 52 failure points\n");
}

struct PmemRun {
    model::PmemModel &m;
    long k;
    std::vector<void *> live;

    void *malloc_(uint16_t mid, size_t size) {
        int fail_at;
        void *p = step(k, &fail_at, [&] { return pmem_malloc(mid, size); });
        EXPECT_TRUE(m.alloc(mid, size, p, fail_at)) << "k " << k << " size " << size;
        if (p) live.push_back(p);
        return p;
    }
    void free_(void *p) {
        pmem_free(p);
        m.free(p);
        live.erase(std::find(live.begin(), live.end(), p));
    }
    // Realloc of a live area to a size in another pool: the area moves, or
    // stays where it was when the new one cannot be had.
    void move(void *p, uint16_t mid, size_t size) {
        int fail_at;
        void *q = step(k, &fail_at, [&] { return pmem_realloc(mid, p, size); });
        EXPECT_TRUE(m.alloc(mid, size, q, fail_at)) << "k " << k;
        if (!q) return;
        m.free(p);
        live.erase(std::find(live.begin(), live.end(), p));
        live.push_back(q);
    }
};

// Every allocating entry point across plex pools, block boundaries and pool
// 26 counts exactly its failure, keeps old areas on a failed move and leaks
// nothing at any failure point.
TEST(OomSweep, PmemAtEveryFailurePoint) {
    if (!pmem_inited) {
        ASSERT_EQ(pmem_init(), 0);
    }
    long base = ap_fault::live();
    model::PmemModel m;
    base -= static_cast<long>(m.system_blocks());
    long points = sweep([&](long k) {
        PmemRun r{m, k, {}};
        // Past two blocks of pool 25 and one of pool 9 (256 slots each): the
        // drain below gives the extra blocks back, so every run grows again.
        for (int i = 0; i < 600; i++)
            r.malloc_(static_cast<uint16_t>(i % PMEM_MID_N), 8000);
        for (int i = 0; i < 300; i++)
            r.malloc_(12, 500);
        r.malloc_(1, 0);
        r.malloc_(2, 100);
        for (int i = 0; i < 8; i++)
            r.malloc_(3, 20000 + 1000 * i);
        if (void *p = r.malloc_(4, 100)) r.move(p, 4, 200);    // pool 4 to pool 5
        if (void *p = r.malloc_(5, 9000)) r.move(p, 6, 9000);  // pool 26 always moves
        if (void *p = r.malloc_(7, 300)) r.move(p, 8, 300);    // another module
        int fail_at;
        void *z = step(k, &fail_at, [&] { return pmem_calloc(9, 3, 100); });
        EXPECT_TRUE(m.alloc(9, 300, z, fail_at)) << "k " << k;
        if (z) r.live.push_back(z);
        char *s = step(k, &fail_at, [&] { return pmem_strdup(10, "a string"); });
        EXPECT_TRUE(m.alloc(10, 9, s, fail_at)) << "k " << k;
        if (s) r.live.push_back(s);
        s = step(k, &fail_at, [&] { return pmem_strndup(11, "a string", 3); });
        EXPECT_TRUE(m.alloc(11, 4, s, fail_at)) << "k " << k;
        if (s) r.live.push_back(s);
        EXPECT_TRUE(m.matches(true)) << "k " << k;
        bool reached = ap_fault::calls() >= k;
        while (!r.live.empty())
            r.free_(r.live.back());
        EXPECT_TRUE(m.matches(true)) << "k " << k;
        EXPECT_EQ(ap_fault::live(), base + static_cast<long>(m.system_blocks())) << "k " << k;
        return reached;
    });
    printf("[sweep] pmem: %ld failure points\n", points);
    EXPECT_GT(points, 5);
}

// ---- module accounting ---------------------------------------------------------

// Registration across the table's first and second growth, accounted
// allocations under a ceiling, resizes and releases: at every failure point
// the table matches the model and every block and name is accounted for.
TEST(OomSweep, AccountingAtEveryFailurePoint) {
    long base = ap_fault::live();
    long points = sweep([&](long k) {
        mem_statis_reset_internal();
        model::StatisModel m;
        int fail_at;
        std::vector<std::pair<void *, int>> blocks;
        for (int i = 0; i < 40; i++) {
            std::string name = "m" + std::to_string(i);
            int id = step(k, &fail_at, [&] { return reg_module_id(name.c_str()); });
            EXPECT_TRUE(m.reg(name.c_str(), id, fail_at)) << "k " << k;
        }
        EXPECT_TRUE(m.matches()) << "k " << k;
        for (int id = 0; id < m.registered(); id++) {
            set_module_mem_limit(id % 3 ? 0 : 5000, id);
            m.set_limit(id, id % 3 ? 0 : 5000);
            for (size_t size : {100, 3000, 4000}) {
                void *p = step(k, &fail_at, [&] { return malloc_with_statis(size, id); });
                bool reaches = !m.refuses(id, size, 0);
                EXPECT_TRUE(m.allocated(id, reaches, fail_at, p, p ? malloc_usable_size(p) : 0, 0))
                    << "k " << k;
                if (p) blocks.emplace_back(p, id);
            }
            void *z = step(k, &fail_at, [&] { return calloc_with_statis(10, 10, id); });
            EXPECT_TRUE(m.allocated(id, !m.refuses(id, 100, 0), fail_at, z,
                                    z ? malloc_usable_size(z) : 0, 0));
            if (!z) continue;
            uint64_t old = malloc_usable_size(z);
            void *q = step(k, &fail_at, [&] { return realloc_with_statis(z, 1000, id); });
            EXPECT_TRUE(m.allocated(id, !m.refuses(id, 1000, old), fail_at, q,
                                    q ? malloc_usable_size(q) : 0, old));
            blocks.emplace_back(q ? q : z, id);
        }
        EXPECT_TRUE(m.matches()) << "k " << k;
        bool reached = ap_fault::calls() >= k;
        for (auto [p, id] : blocks) {
            m.released(id, malloc_usable_size(p));
            free_with_statis(p, id);
        }
        EXPECT_TRUE(m.matches()) << "k " << k;
        mem_statis_reset_internal();
        EXPECT_EQ(ap_fault::live(), base) << "k " << k;
        return reached;
    });
    printf("[sweep] module accounting: %ld failure points\n", points);
    EXPECT_GT(points, 50);
}

}  // namespace
