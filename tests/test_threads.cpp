// The library from several threads at once: objects whole and every counter
// exact after threads allocate, resize, release and pass objects to each
// other; registries, a module ceiling and fork() under contention; a plex's
// hand-out order when two threads take turns.  Linked to the shipped library:
// its glibc binding of the seam is the one threaded hosts run on.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "ap_settings.h"
#include "ap_stats.h"
#include "malloc_statis.h"

namespace {

constexpr int kThreads = 4;
constexpr size_t P = PMEM_POOL_ID_N, M = PMEM_MID_N;
constexpr uint16_t kMids[] = {0, 1, 2, 3, 4, 100};
constexpr uint32_t kSizes[] = {8, 16, 40, 100, 256, 1000, 3000, 8192, 20000};  // 20000: pool 26

struct Rng {  // xorshift64: one fixed stream per thread
    uint64_t s;
    explicit Rng(uint64_t seed) : s((seed + 1) * 0x9e3779b97f4a7c15u) {}
    uint64_t operator()() { return s ^= s << 13, s ^= s >> 7, s ^= s << 17; }
};

// The race detector and memcheck run 20 to 50 times slower, and see a race
// in a few steps; plain builds need the long run to meet one.
#ifdef __SANITIZE_THREAD__
constexpr bool kRaceDetector = true;
#else
constexpr bool kRaceDetector = false;
#endif
bool under_memcheck() {  // which runs the program preloading its own library
    const char *preload = getenv("LD_PRELOAD");
    return preload && strstr(preload, "vgpreload_memcheck");
}
int steps(int n) {
    return kRaceDetector || under_memcheck() ? n / 16 : n;
}

int discard(const char *, int, const char *, ...) {
    return 0;
}

// n threads that start together, so that their first calls overlap; joined
// when the vector goes.
std::vector<std::jthread> spawn(int n, const std::function<void(int)> &body) {
    auto ready = std::make_shared<std::atomic<int>>(0);
    std::vector<std::jthread> v;
    for (int i = 0; i < n; i++)
        v.emplace_back([=] {
            for (++*ready; *ready < n;)
                std::this_thread::yield();
            body(i);
        });
    return v;
}

// Every pmem counter that only grows, in one row: first what the workers
// tally, allocations (side 0) and releases (side 1) per pool, per module and
// pool, and bytes per module; then the peaks.
using Row = std::vector<uint64_t>;
struct At {
    static size_t pool(int side, size_t p) { return side * P + p; }
    static size_t mod(int side, size_t mid, size_t p) { return 2 * P + (side * M + mid) * P + p; }
    static size_t bytes(int side, size_t mid) { return 2 * P + 2 * M * P + side * M + mid; }
    static constexpr size_t kPeaks = 2 * P + 2 * M * P + 2 * M;
};

// The row now.  A pool or module whose live figures are not the difference
// of its counts or are above its peak (a snapshot torn between two updates)
// sets `failed`.
Row counters(std::atomic<bool> &failed) {
    std::vector<pmem_pool_snapshot> pools(P);
    std::vector<pmem_module_snapshot> mods(M);
    pmem_take_pool_snapshot(pools.data(), P), pmem_take_module_snapshot(mods.data(), M);
    Row row(At::kPeaks + P + M);
    for (const pmem_pool_snapshot &s : pools) {
        const size_t p = &s - pools.data();
        row[At::pool(0, p)] = s.alloc_count, row[At::pool(1, p)] = s.free_count;
        row[At::kPeaks + p] = s.peak_live_count;
        if ((s.live_count != s.alloc_count - s.free_count || s.live_count > s.peak_live_count) &&
            !failed.exchange(true))
            ADD_FAILURE() << s.name << ": " << s.live_count << " live, peak " << s.peak_live_count;
    }
    for (const pmem_module_snapshot &s : mods) {
        const size_t m = &s - mods.data();
        row[At::bytes(0, m)] = s.alloc_size, row[At::bytes(1, m)] = s.free_size;
        row[At::kPeaks + P + m] = s.peak_live_bytes;
        std::copy_n(s.alloc_count, P, &row[At::mod(0, m, 0)]);
        std::copy_n(s.free_count, P, &row[At::mod(1, m, 0)]);
        if ((s.live_bytes > s.peak_live_bytes ||
             !std::equal(s.free_count, s.free_count + P, s.alloc_count, std::less_equal<>())) &&
            !failed.exchange(true))
            ADD_FAILURE() << s.name << ": " << s.live_bytes << " live bytes, peak "
                          << s.peak_live_bytes;
    }
    return row;
}

// A live object as its holder knows it.  Both ends carry (thread, sequence):
// a slot handed to two holders at once, or moved without its contents, no
// longer shows the stamp its holder wrote.
struct Obj {
    void *p;
    uint32_t size, usable;
    int plex;  // index of the shared plex, -1 for pmem
    uint16_t mid, pool;
    uint64_t stamp;
    void look() {  // pmem's view of the area, kept for its release
        pool = reinterpret_cast<const pmem_header *>(static_cast<char *>(p) - 16)->pool_id;
        usable = pmem_ptr2size(p);
    }
    char *end() const { return static_cast<char *>(p) + size - 8; }
    void mark(uint64_t s) { stamp = s, memcpy(p, &s, 8), memcpy(end(), &s, 8); }
    bool intact() const { return !memcmp(p, &stamp, 8) && !memcmp(end(), &stamp, 8); }
};

void charge(Row &row, int side, const Obj &o) {
    row[At::pool(side, o.pool)]++, row[At::mod(side, o.mid, o.pool)]++;
    row[At::bytes(side, o.mid)] += o.usable;
}

struct Stress {
    static constexpr int kGenerations = 6, kOps = 1000000, kHeld = 48, kSlots = 512;
    auto_plex plexes[2];
    std::atomic<long> in_plex[2] = {};
    Obj *exchange[kSlots] = {};
    std::vector<Row> tallies = std::vector<Row>(kThreads * kGenerations, Row(At::kPeaks));
    std::atomic<bool> failed{false}, done{false};
    long reads = 0;

    void broken(const Obj &o, const char *when) {
        if (!failed.exchange(true))
            ADD_FAILURE() << "object " << o.p << " of " << o.size << " bytes lost its stamp "
                          << std::hex << o.stamp << " " << when;
    }
    void release(const Obj &o, Row &t) {
        if (!o.intact()) return broken(o, "before its release");
        if (o.plex >= 0) return auto_plex_free(&plexes[o.plex], o.p), void(in_plex[o.plex]--);
        charge(t, 1, o), pmem_free(o.p);
    }
    Obj allocate(uint64_t r, Row &t) {
        Obj o{nullptr, kSizes[r % 9], 0, -1, kMids[r / 9 % 6], 0, 0};
        if (r / 64 % 4 == 0) {
            o.plex = r / 256 % 2, o.size = plexes[o.plex].item_size;
            if ((o.p = auto_plex_alloc(&plexes[o.plex]))) in_plex[o.plex]++;
        } else if ((o.p = pmem_malloc(o.mid, o.size))) {
            o.look(), charge(t, 0, o);
        }
        return o;
    }
    void resize(Obj &o, uint64_t r, Row &t) {
        if (o.plex >= 0) return;
        if (!o.intact()) return broken(o, "before a resize");
        const Obj old = o;
        void *q = pmem_realloc(kMids[r / 9 % 6], o.p, kSizes[r % 9]);
        if (!q || memcmp(q, &o.stamp, 8)) return broken(o, "across a resize");
        o.p = q, o.size = kSizes[r % 9], o.mid = kMids[r / 9 % 6], o.look();
        if (q != old.p) charge(t, 1, old), charge(t, 0, o);  // moved: a release and an allocation
    }
    // Leaves `in` in a slot of the exchange; what was there is kept or released.
    void swap(Obj *in, uint64_t r, std::vector<Obj> *keep, Row &t) {
        Obj *out = __atomic_exchange_n(&exchange[r % kSlots], in, __ATOMIC_ACQ_REL);
        if (out) keep ? keep->push_back(*out) : release(*out, t);
        delete out;
    }

    void work(int id) {
        Rng rng(id);
        Row &t = tallies[id];
        std::vector<Obj> held;
        uint64_t seq = uint64_t(id) << 32;
        auto take = [&] {
            std::swap(held[rng() % held.size()], held.back());
            Obj o = held.back();
            return held.pop_back(), o;
        };
        for (int op = 0, ops = steps(kOps); op < ops && !failed; op++) {
            const uint64_t r = rng(), what = held.empty() ? 0 : r % 8;
            if (what < 3 && held.size() == kHeld) release(take(), t);
            if (what < 3) {
                Obj o = allocate(r >> 3, t);
                if (!o.p) return broken(o, "(refused)");
                o.mark(++seq), held.push_back(o);
            } else if (what < 5) {
                release(take(), t);
            } else if (what == 5) {
                Obj &o = held[r / 8 % held.size()];
                resize(o, r >> 12, t), o.mark(++seq);
            } else {
                swap(new Obj(take()), r >> 3, &held, t);
            }
        }
        while (!held.empty())  // all it holds goes to the threads after it
            swap(new Obj(take()), rng(), nullptr, t);
    }

    // No counter that only grows may be seen lower than before, and a plex's
    // using_num stays within its blocks and its peak.
    void read() {
        const std::string path = ::testing::TempDir() + "ap_threads_" + std::to_string(getpid());
        std::vector<auto_plex_snapshot> ps;
        for (Row seen = counters(failed), now; !done && !failed; reads++, seen.swap(now)) {
            now = counters(failed);
            ps.resize(64);
            ps.resize(std::min<size_t>(auto_plex_take_snapshot(ps.data(), 64), 64));
            for (const auto_plex_snapshot &s : ps) {
                now.insert(now.end(), {s.count_expand, s.count_clear, s.peak_using_num});
                if ((s.using_num > s.alloc_num || s.using_num > s.peak_using_num) &&
                    !failed.exchange(true))
                    ADD_FAILURE() << s.module_name << ": using_num " << s.using_num;
            }
            auto [a, b] = std::mismatch(seen.begin(), seen.end(), now.begin(), now.end(),
                                        std::less_equal<>());
            if (a != seen.end() && b != now.end() && !failed.exchange(true))
                ADD_FAILURE() << "counter " << a - seen.begin() << " went back from " << *a
                              << " to " << *b;
            if (reads % 16) continue;
            EXPECT_FALSE(pmem_statis_debug_json_rt(discard) | auto_plex_debug_json(path.c_str()) |
                         pmem_statis_debug_json(path.c_str()));
            auto_plex_debug_rt(discard), pmem_statis_debug_rt(discard);
        }
        unlink(path.c_str());
    }
};

}  // namespace

// Slots handed out twice, lost counter updates, snapshots torn or going back,
// reports walking pools while they change.  Workers end and new ones take
// over what they left in the exchange: releases cross threads and outlive
// their allocators.
TEST(Threads, StressKeepsObjectsWholeAndCountsExact) {
    if (!pmem_inited) pmem_init();
    Stress st;
    ASSERT_FALSE(auto_plex_init(&st.plexes[0], 24, 0, "threads_small") |
                 auto_plex_init(&st.plexes[1], 200, 0, "threads_large"));
    const Row before = counters(st.failed);
    {
        std::jthread reader(&Stress::read, &st);
        auto workers = spawn(kThreads, [&](int id) { st.work(id); });
        for (int gen = 1; gen < Stress::kGenerations; gen++)
            for (int k = 0; k < kThreads; k++)  // the others run on meanwhile
                workers[k].join(),
                    workers[k] = std::jthread(&Stress::work, &st, gen * kThreads + k);
        workers.clear();
        st.done = true;
    }
    ASSERT_FALSE(st.failed);
    EXPECT_GT(st.reads, 0);
    long parked[2] = {};
    for (Obj *o : st.exchange)
        if (o && o->plex >= 0) parked[o->plex]++;
    for (int k = 0; k < 2; k++)
        EXPECT_TRUE(long(st.plexes[k].using_num) == parked[k] && st.in_plex[k] == parked[k])
            << st.plexes[k].module_name << " holds " << st.plexes[k].using_num;

    for (Obj *&o : st.exchange)
        st.swap(nullptr, &o - st.exchange, nullptr, st.tallies[0]);
    Row sum(At::kPeaks), after = counters(st.failed);
    for (size_t i = 0; i < At::kPeaks; i++) {
        for (const Row &t : st.tallies)
            sum[i] += t[i];
        after[i] -= before[i];
    }
    auto [a, b] = std::mismatch(sum.begin(), sum.end(), after.begin());
    EXPECT_EQ(a, sum.end()) << "counter " << a - sum.begin() << ": " << *a << " done, " << *b
                            << " counted";
    EXPECT_EQ(st.plexes[0].using_num + st.plexes[1].using_num, 0u);
    auto_plex_clear(&st.plexes[0]), auto_plex_clear(&st.plexes[1]);
}

// Two ids for one name, a gap or a reused id, an id lost while the table
// grows; the plex registry broken by links and unlinks from several threads
// while a snapshot walks it.
TEST(Threads, RegistriesFilledAndEmptiedConcurrently) {
    constexpr int kNames = 100, kStride[kThreads] = {1, 3, 7, 9};  // each thread its own order
    const size_t base = mem_statis_take_snapshot(nullptr, 0),
                 plexes = auto_plex_take_snapshot(nullptr, 0);
    int ids[kThreads][kNames];
    std::atomic<bool> done{false};
    std::jthread reader([&] {
        std::vector<auto_plex_snapshot> ps(plexes + kThreads);
        while (!done)
            for (size_t i = 0, n = auto_plex_take_snapshot(ps.data(), ps.size()); i < n; i++)
                ASSERT_TRUE(n <= ps.size() && ps[i].using_num <= ps[i].alloc_num) << n;
    });
    spawn(kThreads, [&](int t) {
        for (int i = 0, k; i < kNames; i++)
            k = (i * kStride[t] + 13 * t) % kNames,
            ids[t][k] = reg_module_id(("name_" + std::to_string(k)).c_str());
        for (int round = 0; round < 1000; round++) {
            auto_plex own;
            ASSERT_EQ(auto_plex_init(&own, 16 + 8 * t, round % 2 * 1000, "private"), 0);
            void *s = auto_plex_alloc(&own);
            ASSERT_NE(s, nullptr);
            auto_plex_free(&own, s), auto_plex_clear(&own);
        }
    });
    done = true;
    reader.join();
    std::vector<mem_statis_snapshot> mods(base + kNames + 1);
    ASSERT_EQ(mem_statis_take_snapshot(mods.data(), mods.size()), base + kNames);
    for (int k = 0; k < kNames; k++) {
        for (int t = 1; t < kThreads; t++)
            EXPECT_EQ(ids[t][k], ids[0][k]) << "name_" << k;
        ASSERT_TRUE(ids[0][k] >= int(base) && ids[0][k] < int(base) + kNames);
        EXPECT_EQ(mods[ids[0][k]].module_name, "name_" + std::to_string(k));
    }
    EXPECT_EQ(auto_plex_take_snapshot(nullptr, 0), plexes);
}

// The ceiling test and the addition done apart: two threads pass the test
// with room for one request and the module ends a block above its limit, or
// a refusal goes uncounted.  glibc gives a 72-byte request 72 usable bytes,
// or 88 from a chunk too small to split: each thread's grant may pass the
// limit by those 16 bytes, never by a block.
TEST(Threads, ModuleCeilingHoldsWhenRacedAtTheEdge) {
    constexpr size_t kRequest = 72, kLimit = 40 * kRequest;
    const int id = reg_module_id("ceiling");
    set_module_mem_limit(kLimit, id);
    constexpr size_t kBound = kLimit + kThreads * 16;
    std::atomic<uint64_t> refused{0};
    std::vector<void *> live[kThreads];
    auto held = [id] {
        std::vector<mem_statis_snapshot> mods(id + 1);
        mem_statis_take_snapshot(mods.data(), id + 1);
        return mods[id];
    };
    spawn(kThreads, [&](int t) {
        Rng rng(t);
        for (int op = 0, ops = steps(400000); op < ops; op++) {
            if (rng() % 2 && !live[t].empty()) {
                free_with_statis(live[t].back(), id), live[t].pop_back();
                continue;
            }
            void *p = malloc_with_statis(kRequest, id);
            if (!p && ++refused) continue;
            live[t].push_back(p);
            ASSERT_LE(uint64_t(held().mem_alloced), kBound) << "op " << op;
        }
    });
    const mem_statis_snapshot end = held();
    int64_t bytes = 0;
    for (auto &v : live)
        for (void *p : v)
            bytes += malloc_usable_size(p), free_with_statis(p, id);
    EXPECT_TRUE(end.mem_alloced == bytes && held().mem_alloced == 0 && refused > 0 &&
                end.over_limit_failed == refused && end.peak_mem_alloced <= int64_t(kBound) &&
                end.peak_mem_alloced > int64_t(kLimit - kRequest))
        << "a count off, the ceiling passed or never reached, or what fitted refused";
}

// pmem's ceiling, its test and reservation done apart: two threads pass with
// room for one request, or a refusal goes uncounted or leaves its
// reservation.  A 64-byte request is served 64 usable bytes, so the live
// bytes reach the ceiling and never pass it.  A third thread switches
// poisoning on and off: a slot released unfilled and then checked stops the
// process.
TEST(Threads, PmemCeilingHoldsWhenRacedAtTheEdge) {
    if (!pmem_inited) pmem_init();
    constexpr uint16_t kMid = 77;
    constexpr size_t kLimit = 40 * 64;
    pmem_set_module_mem_limit(kLimit, kMid);
    std::atomic<uint64_t> refused{0};
    std::vector<void *> live[2];
    std::atomic<int> running{2};
    spawn(3, [&](int t) {  // each frees one only when refused: both stay at the edge
        for (int i = 0; t == 2 && running; i++)
            pmem_set_poison(i % 2);
        for (int op = 0, ops = t == 2 ? 0 : steps(2000000), refused_last = 0; op < ops; op++) {
            if (refused_last && !live[t].empty()) {
                pmem_free(live[t].back()), live[t].pop_back(), refused_last = 0;
            } else if (void *p = pmem_malloc(kMid, 64)) {
                live[t].push_back(p);
            } else {
                ++refused, refused_last = 1;
            }
        }
        running -= t < 2;
    });
    std::vector<pmem_module_snapshot> mods(M);
    pmem_take_module_snapshot(mods.data(), M);
    const pmem_module_snapshot &m = mods[kMid];
    EXPECT_TRUE(m.peak_live_bytes == kLimit && refused > 0 &&
                m.live_bytes == 64 * (live[0].size() + live[1].size()));
    EXPECT_TRUE(m.over_limit_failed == refused && m.fail_count[3] == refused);
    for (auto &v : live)
        for (void *p : v)
            pmem_free(p);
    void *all = pmem_malloc(kMid, kLimit);
    EXPECT_NE(all, nullptr) << "a reservation left behind";
    pmem_free(all);
}

// A lock left held by a thread that does not exist in the child: the child
// hangs (killed after 30 s) or finds a pool or registry half changed.
TEST(Threads, ForkedChildUsesTheLibraryWhileOtherThreadsHeldLocks) {
    if (under_memcheck())
        GTEST_SKIP() << "memcheck would count the blocks of threads gone in the child as leaks";
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's own allocator is not fork-safe: a child forked while "
                    "another thread holds its lock hangs in malloc";
#endif
    if (!pmem_inited) pmem_init();
    auto_plex shared;
    ASSERT_EQ(auto_plex_init(&shared, 64, 0, "forked"), 0);
    const int module = reg_module_id("forked");
    std::atomic<bool> stop{false};
    auto churn = spawn(3, [&](int t) {
        Rng rng(t);
        void *held[32] = {};
        for (uint64_t r = rng(); !stop; r = rng()) {
            pmem_free(held[r % 32]), held[r % 32] = pmem_malloc(r / 32 % 8, kSizes[r / 256 % 9]);
            auto_plex_free(&shared, auto_plex_alloc(&shared));
            free_with_statis(malloc_with_statis(100, module), module);
            if (r % 64 == 0) auto_plex_debug_rt(discard), reg_module_id("forked");
        }
        for (void *p : held)
            pmem_free(p);
    });
    // The child's round through every lock: 0, or the first step that failed.
    auto child = [&] {
        for (unsigned p = 0; p < P; p++) {
            void *a = pmem_malloc(7, p < P - 1 ? pmem_pool_sizes[p] : 20000);
            if (!a) return 1 + p;
            pmem_free(a);
        }
        void *s = auto_plex_alloc(&shared), *m = malloc_with_statis(100, module);
        auto_plex own;
        if (!s || !m || auto_plex_init(&own, 32, 0, "child") || !auto_plex_alloc(&own)) return 30u;
        auto_plex_free(&shared, s), auto_plex_clear(&own), free_with_statis(m, module);
        std::atomic<bool> failed{false};
        if (reg_module_id("child") < 0 || (counters(failed), failed)) return 31u;
        auto_plex_debug_rt(discard), pmem_statis_debug_rt(discard), mem_statis_debug_rt(discard);
        return pmem_statis_debug_json_rt(discard) | auto_plex_debug_json_rt(discard) ? 32u : 0u;
    };
    Rng rng(99);
    for (int f = 0, status = 0; f < 20; f++) {
        usleep(rng() % 2000);
        const pid_t pid = fork();
        if (pid == 0) _exit(child());
        for (int ms = 0; waitpid(pid, &status, WNOHANG) == 0; ms++)
            ms < 30000 ? usleep(1000) : kill(pid, SIGKILL);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "fork " << f << ": " << (WIFEXITED(status) ? "failed at step " : "killed by signal ")
            << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    }
    stop = true;
    churn.clear();
    auto_plex_clear(&shared);
}

// Locking that changes which slot comes next (a per-thread cache, a list
// taken apart): with two threads strictly taking turns, every allocation is
// still the lowest block with room's most recently freed slot, else its next
// never-used one, else a new block.
TEST(Threads, TakingTurnsKeepsTheSingleThreadedHandOut) {
    auto_plex pool;
    ASSERT_EQ(auto_plex_init(&pool, 512, 0, "turns"), 0);  // 256 slots a block
    std::atomic<int> turn{0};
    Rng rng(7);
    std::vector<void *> live;
    spawn(2, [&](int me) {
        for (int step = me; step < 6000; step += 2, turn++) {
            while (turn != step)
                std::this_thread::yield();
            const uint64_t r = rng();
            if (!live.empty() && r % 5 < (step / 1000 % 2 ? 4u : 1u)) {  // grow, then shrink
                std::swap(live[r / 8 % live.size()], live.back());
                auto_plex_free(&pool, live.back()), live.pop_back();
                continue;
            }
            auto_plex_block_snapshot b[16];
            const size_t n = std::min<size_t>(auto_plex_take_block_snapshot(&pool, b, 16), 16);
            auto room = std::find_if(b, b + n, [](auto &x) { return x.using_num < x.alloc_num; });
            const plex *c = room < b + n ? &room->block->ctl : nullptr;
            void *expected = !c             ? nullptr
                             : c->free_list ? c->free_list
                                            : static_cast<plex_block_head *>(c->head)->fresh_slot;
            live.push_back(auto_plex_alloc(&pool));
            EXPECT_TRUE(expected ? live.back() == expected
                                 : auto_plex_take_block_snapshot(&pool, nullptr, 0) == n + 1)
                << "step " << step << ": got " << live.back() << ", expected " << expected;
        }
    });
    EXPECT_GT(pool.count_clear, 0u) << "blocks were given back along the way";
    for (void *p : live)
        auto_plex_free(&pool, p);
    auto_plex_clear(&pool);
}

// A pool held long enough that a thread wanting it stops spinning and sleeps:
// the walk that holds it must wake that thread when it ends.
TEST(Threads, ThreadWaitingForABusyPoolIsWokenWhenItFrees) {
    if (!pmem_inited) pmem_init();
    void *first = pmem_malloc(5, 64);
    std::atomic<bool> walking{false};
    std::jthread walker([&] {
        pmem_walk_live(
            5,
            [](const pmem_live_area *, void *c) {
                static_cast<std::atomic<bool> *>(c)->store(true);
                usleep(200 * 1000);  // the pool's lock is held meanwhile
                return 0;
            },
            &walking);
    });
    while (!walking)
        std::this_thread::yield();
    void *second = pmem_malloc(5, 64);  // waits, asleep, for the walk
    walker.join();
    EXPECT_TRUE(first && second);
    pmem_free(first), pmem_free(second);
}

// Fault injection raced: re-arms with a changing name while two threads
// allocate (the race detector's part), then a cap that two threads reach
// together and that must still fail exactly `times` calls.
TEST(Threads, InjectionCapExactWhileOthersAllocate) {
    auto_plex plex;
    auto_plex_init(&plex, 32, 0, "capped");
    std::atomic<long> failed{0};
    auto churn = [&](int) {
        for (int i = 0; i < steps(20000); i++) {
            void *p = auto_plex_alloc(&plex);
            p ? auto_plex_free(&plex, p) : void(failed++);
        }
    };
    std::atomic<bool> stop{false};
    {
        std::jthread rearm([&stop] {
            for (int i = 0; !stop; i++) {
                ap_fail_rule r = {3, 0, 0, 0, 0, -1, -1, i % 2 ? "capped" : "elsewhere", nullptr};
                ap_fail_inject(&r);
            }
        });
        spawn(2, churn);
        stop = true;
    }
    const uint64_t before = ap_fail_injected();
    EXPECT_TRUE(plex.alloc_failed == before && uint64_t(failed.exchange(0)) == before);
    ap_fail_rule capped = {2, 0, 0, 50, 0, -1, -1, "capped", nullptr};
    ASSERT_EQ(ap_fail_inject(&capped), 0);
    spawn(2, churn);
    EXPECT_TRUE(failed == 50 && ap_fail_injected() == before + 50);
    auto_plex_clear(&plex);
}
