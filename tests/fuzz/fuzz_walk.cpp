// The randomized run: an input is decoded into operations on four pools of
// our own, on pmem (every entry point, any module id) and on the accounted
// modules, with "the k-th next system allocation fails" events.  After every
// step, walkers check what must hold, from the library's own state and from
// what the harness holds, without a reference model:
//   - the pool stepped on is a valid plex (t::plex_valid), the slot it handed
//     out is the one t::next_slot named or the first slot of a new block, and
//     the block-event subscriber has seen exactly the blocks in the trees;
//   - pmem: every area lies in the lowest pool that holds its size, its
//     header is live, and the pool and module counters agree with the areas
//     held, failures counted where they happened;
//   - accounting: each module holds the usable sizes of its blocks, and is
//     refused exactly when request + held - released passes its limit;
//   - the seam's outstanding blocks are exactly what all of these own.
// The world outlives each input (pmem cannot be torn down); each input ends
// by releasing everything and checking the whole world.
//
// Built two ways: with clang's libFuzzer (-DAUTO_PLEX_FUZZ=ON), and as a
// program that replays files, a fixed-seed stream of random inputs and an
// out-of-memory sweep over one scripted input, which is how the suite runs it.
#include <fstream>
#include <map>
#include <random>

#include "malloc_statis.h"
#include "pmem.h"
#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "testing.h"

namespace {

unsigned long long g_steps;
bool g_sweep;  // the out-of-memory sweep arms the seam itself

void check(bool ok, const char *what, const std::string &detail = "") {
    if (ok) return;
    fprintf(stderr, "after %llu steps: %s %s\n", g_steps, what, detail.c_str());
    abort();
}

void check(const t::AssertionResult &r, const char *what) {
    check(static_cast<bool>(r), what, r.message());
}

struct Input {
    const uint8_t *data;
    size_t size, pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

// Live memory carries a tag from its address, so a slot handed out twice or
// data lost in a move shows.
struct Area {
    unsigned char *p;
    size_t tagged;
    unsigned char tag() const {
        return static_cast<unsigned char>(reinterpret_cast<uintptr_t>(p) >> 4 ^ 0x5a);
    }
    void fill() const { memset(p, tag(), tagged); }
    bool intact(const unsigned char *at, size_t n) const {
        return std::all_of(at, at + n, [&](unsigned char b) { return b == tag(); });
    }
};

struct Shape {
    uint64_t item, max;
};
// Small blocks so short inputs cross block boundaries; tiny and odd slots;
// bounded plexes with one and with several records.
constexpr Shape kShapes[] = {{1024, 0}, {12, 0}, {1024, 700}, {48, 300}};

struct PmemArea : Area {
    uint16_t mid;
    unsigned pool;
};

struct World {
    auto_plex plex[4];
    bool up[4] = {};
    std::vector<Area> slots[4];
    std::vector<PmemArea> areas;
    uint64_t pool_live[PMEM_POOL_ID_N] = {}, module_bytes[PMEM_MID_N] = {};
    std::map<std::pair<unsigned, unsigned>, uint64_t> module_pool_live;
    std::vector<std::pair<void *, int>> blocks;  // accounted blocks; id < 0: brought in by inc
    std::map<const auto_plex_block *, const auto_plex *> heard;  // from the block events
    long base = 0;
};
World *g;

void on_block(const auto_plex *me, const auto_plex_block *b, plex_block_event event) {
    if (event == PLEX_BLOCK_ADDED)
        check(g->heard.emplace(b, me).second, "block added twice");
    else
        check(g->heard.erase(b) == 1, "unknown block released");
}

// Runs `op` with the k-th next seam allocation failing (k = 0: none); true
// when that failure happened inside it.
template <class Op>
bool attempt(int k, Op op) {
    long fired = ap_fault::fired();
    if (k) ap_fault::fail_nth(k);
    op();
    if (k) ap_fault::fail_nth(0);
    return ap_fault::fired() != fired;
}

// ---- pools -------------------------------------------------------------------

void plex_alloc(World &w, int i, int k) {
    auto_plex *me = &w.plex[i];
    const auto_plex before = *me;
    void *want = t::next_slot(me), *p = nullptr;
    bool failed = attempt(k, [&] { p = auto_plex_alloc(me); });
    if (p) {
        check(!failed && me->using_num == before.using_num + 1, "slot handed out after a failure");
        check(want ? p == want
                   : me->count_expand == before.count_expand + 1 &&
                         p == get_start_ptr(&auto_plex_find_block_internal(me, p)->ctl),
              "not the lowest block's most recently freed or next never-used slot");
        w.slots[i].push_back(
            {static_cast<unsigned char *>(p), std::min<uint64_t>(me->item_size, 32)});
        w.slots[i].back().fill();
    } else {
        bool bounded = me->max_num && (me->using_num == me->max_num || t::idle_count(me) == 0);
        check(me->alloc_failed == before.alloc_failed + 1 && !want && (failed || bounded),
              "null without a reason, or uncounted");
        check(me->expand_failed == before.expand_failed + failed, "expand_failed");
    }
    check(t::plex_valid(me), "plex");
}

void plex_free(World &w, int i, size_t pick) {
    if (w.slots[i].empty()) return;
    Area a = w.slots[i][pick % w.slots[i].size()];
    check(a.intact(a.p, a.tagged), "live slot overwritten");
    w.slots[i][pick % w.slots[i].size()] = w.slots[i].back();
    w.slots[i].pop_back();
    auto_plex_free(&w.plex[i], a.p);
    check(t::plex_valid(&w.plex[i]), "plex");
}

void plex_reinit(World &w, int i, int k) {
    if (w.up[i]) auto_plex_clear(&w.plex[i]);
    w.slots[i].clear();
    int rc = 1;
    bool failed = attempt(
        k, [&] { rc = auto_plex_init(&w.plex[i], kShapes[i].item, kShapes[i].max, "walk"); });
    check(rc == (failed ? -12 : 0), "init result");
    w.up[i] = rc == 0;
    if (w.up[i]) check(t::plex_valid(&w.plex[i]), "plex after init");
}

// ---- pmem --------------------------------------------------------------------

uint64_t pmem_size(Input &in) {
    switch (in.byte() % 8) {
        case 0:
        case 1: {  // a pool edge, one either side
            uint64_t edge = pmem_pool_sizes[in.byte() % (PMEM_POOL_ID_N - 1)];
            return edge + in.byte() % 3 + (edge == 0) - 1;
        }
        case 5:
            return in.byte() % 64;
        case 6:
            return 8193 + in.word() % 60000;
        case 7:
            return in.byte() % 2 ? (uint64_t{1} << 30) + 1 : SIZE_MAX - in.byte();
        default:
            return in.word() % 8209;
    }
}

unsigned pool_for(uint64_t size) {
    unsigned p = 0;
    while (pmem_pool_sizes[p] < (size + 15) / 16 * 16)
        p++;
    return p;
}

// The counters of pool p and module m against the areas held.
void check_counts(const World &w, unsigned p, unsigned m) {
    const pool_statis &ps = pmem_pool_stats[p];
    const module_statis &ms = pmem_module_stats[m];
    auto it = w.module_pool_live.find({m, p});
    check(ps.alloc_count - ps.free_count == w.pool_live[p] &&
              ms.alloc_size - ms.free_size == w.module_bytes[m] &&
              ms.alloc_count[p] - ms.free_count[p] ==
                  (it == w.module_pool_live.end() ? 0 : it->second) &&
              pmem_module_peak_internal(m) >= w.module_bytes[m] &&
              pmem_pool_peak_internal(p) >= w.pool_live[p],
          "pmem counters disagree with the areas held");
}

void check_pool(const World &w, unsigned p, unsigned m) {
    check_counts(w, p, m);
    if (p < PMEM_POOL_ID_N - 1) check(t::plex_valid(&pmem_pools[p].pool_plex), "pmem plex");
}

PmemArea area(void *q, uint16_t mid, uint64_t size) {
    return {{static_cast<unsigned char *>(q), std::min<uint64_t>(size, 32)}, mid, pool_for(size)};
}

void hold(World &w, const PmemArea &a, uint64_t size) {
    const pmem_header *h = pmem_header_of(a.p);
    check(h->magic == PMEM_MAGIC && h->pool_id == a.pool && h->mid == a.mid &&
              !(h->flags & PMEM_FLAG_FREED) && reinterpret_cast<uintptr_t>(a.p) % 16 == 0 &&
              pmem_ptr2size(a.p) >= size,
          "header");
    a.fill();
    w.areas.push_back(a);
    w.pool_live[a.pool]++;
    w.module_bytes[a.mid] += pmem_ptr2size(a.p);
    w.module_pool_live[{a.mid, a.pool}]++;
    check_pool(w, a.pool, a.mid);
}

PmemArea unhold(World &w, size_t i) {
    PmemArea a = w.areas[i];
    w.areas[i] = w.areas.back();
    w.areas.pop_back();
    w.pool_live[a.pool]--;
    w.module_bytes[a.mid] -= pmem_ptr2size(a.p);
    w.module_pool_live[{a.mid, a.pool}]--;
    return a;
}

// One allocating call for `size` bytes under `mid`: served, refused (above
// 1 GiB, nothing counted) or failed (counted for the pool and the module).
template <class Call>
void *pmem_call(uint16_t mid, uint64_t size, int k, Call call) {
    unsigned p = size > PMEM_MAX_SIZE ? 0 : pool_for(size);
    uint64_t fails = pmem_pool_stats[p].fail_count, mfails = pmem_module_stats[mid].fail_count[p];
    void *q = nullptr;
    bool failed = attempt(k, [&] { q = call(); });
    check(!q == (failed || size > PMEM_MAX_SIZE), "pmem result");
    check(pmem_pool_stats[p].fail_count == fails + failed &&
              pmem_module_stats[mid].fail_count[p] == mfails + failed,
          "pmem failure not counted where it happened");
    return q;
}

void pmem_op(World &w, Input &in, uint8_t op, int k) {
    uint16_t mid = in.byte() % PMEM_MID_N;
    uint64_t size = pmem_size(in);
    void *q = nullptr;
    if (op == 0) q = pmem_call(mid, size, k, [&] { return pmem_malloc(mid, size); });
    if (op == 1) {
        uint64_t count = in.byte() % 9, each = size % 2048;
        size = count * each;
        q = pmem_call(mid, size, k, [&] { return pmem_calloc(mid, count, each); });
        check(!q || std::all_of(static_cast<char *>(q), static_cast<char *>(q) + size,
                                [](char c) { return !c; }),
              "calloc not zeroed");
    }
    if (op == 2) {
        std::string s(in.byte() + in.byte() % 64, static_cast<char>('a' + in.byte() % 26));
        size_t n = in.byte() % 2 ? in.word() % 400 : SIZE_MAX;
        size = std::min(s.size(), n) + 1;
        q = pmem_call(mid, size, k, [&] {
            return n == SIZE_MAX ? pmem_strdup(mid, s.c_str()) : pmem_strndup(mid, s.c_str(), n);
        });
        check(!q || std::string(static_cast<char *>(q)) == s.substr(0, size - 1), "string copy");
    }
    if (op == 3 && !w.areas.empty()) {
        PmemArea a = unhold(w, in.word() % w.areas.size());
        check(a.intact(a.p, a.tagged), "live area overwritten");
        pmem_free(a.p);
        check_pool(w, a.pool, a.mid);
    }
    if (op == 4 && !w.areas.empty()) {
        size_t i = in.word() % w.areas.size();
        PmemArea old = w.areas[i];
        bool stays = size && size <= PMEM_MAX_SIZE && pool_for(size) == old.pool &&
                     old.pool != 26 && old.mid == mid;
        if (stays || size > PMEM_MAX_SIZE) {
            check(pmem_realloc(mid, old.p, size) == (stays ? old.p : nullptr),
                  "resize in place or refused");
            return check(old.intact(old.p, old.tagged), "a resize in place or refused lost data");
        }
        unhold(w, i);  // released by the call whenever it succeeds (or, for size 0, always)
        q = pmem_call(mid, size, k, [&] { return pmem_realloc(mid, old.p, size); });
        check(!q || old.intact(static_cast<unsigned char *>(q), std::min(size, old.tagged)),
              "moved data");
        if (!q && size) hold(w, old, 0);  // a failed move keeps the old area as it was
        if (q) hold(w, area(q, mid, size), size);
        return check_pool(w, old.pool, old.mid);
    }
    if (q) hold(w, area(q, mid, size), size);
}

// ---- accounting ----------------------------------------------------------------

int64_t usable(const void *p) {
    return static_cast<int64_t>(malloc_usable_size(const_cast<void *>(p)));
}

void check_module(const World &w, int id) {
    const statis_record &r = mem_statis_table_internal().records[id];
    int64_t held = 0;
    for (auto [p, owner] : w.blocks)
        held += (owner < 0 ? -owner - 1 : owner) == id ? usable(p) : 0;
    check(r.pub.mem_alloced == held && r.peak_mem_alloced >= held, "module holding");
}

void statis_op(World &w, Input &in, uint8_t op, int k) {
    mem_statis_table t = mem_statis_table_internal();
    if (op == 0 || t.registered == 0) {
        std::string name = "mod" + std::to_string(in.byte() % 40);  // more than the first table
        int id = -2;
        bool failed = attempt(k, [&] { id = reg_module_id(name.c_str()); });
        int32_t now = mem_statis_table_internal().registered;
        check(failed ? id == -1 && now == t.registered
                     : id >= 0 && id <= t.registered && now >= t.registered,
              "registration");
        return;
    }
    int id = in.byte() % t.registered;
    mem_statis_entry e = t.records[id].pub;
    // Sizes up to the limit, exactly at it and one byte past it.
    uint64_t size = in.word() % 20000;
    if (e.limit && e.limit >= uint64_t(e.mem_alloced) && in.byte() % 4 == 0)
        size = e.limit - e.mem_alloced + in.byte() % 2;
    if (op == 1) set_module_mem_limit(in.byte() % 3 ? 0 : e.mem_alloced + in.word(), id);
    if (op == 2 || op == 3 || op == 4) {
        std::vector<size_t> mine;
        for (size_t j = 0; j < w.blocks.size(); j++)
            if (w.blocks[j].second == id) mine.push_back(j);
        size_t j = op == 4 && !mine.empty() ? mine[in.byte() % mine.size()] : SIZE_MAX;
        void *old = j == SIZE_MAX ? nullptr : w.blocks[j].first;
        uint64_t count = op == 3 ? in.byte() % 5 : 1;
        __int128 released = old ? usable(old) : 0,
                 projected = __int128(count) * size + e.mem_alloced - released;
        bool refused = e.limit && projected > __int128(e.limit) && !(old && size == 0);
        void *p = nullptr;
        bool failed = attempt(k, [&] {
            p = op == 2   ? malloc_with_statis(size, id)
                : op == 3 ? calloc_with_statis(count, size, id)
                          : realloc_with_statis(old, size, id);
        });
        check(mem_statis_table_internal().records[id].pub.over_limit_failed ==
                  e.over_limit_failed + refused,
              "refusal count");
        check(!p == (refused || failed || (old && size == 0)), "accounted result");
        if (p && old)
            w.blocks[j].first = p;
        else if (old && size == 0)
            w.blocks.erase(w.blocks.begin() + j);
        else if (p)
            w.blocks.push_back({p, id});
    }
    if (op == 5) {
        void *p = malloc(in.word() % 3000);
        inc_mem_statis(p, id);
        w.blocks.push_back({p, -id - 1});
    }
    check_module(w, id);
}

void statis_release(World &w, size_t j) {
    auto [p, owner] = w.blocks[j];
    w.blocks.erase(w.blocks.begin() + j);
    if (owner < 0) {
        dec_mem_statis(p, -owner - 1);
        free(p);
    } else {
        free_with_statis(p, owner);
    }
    check_module(w, owner < 0 ? -owner - 1 : owner);
}

// ---- one input ---------------------------------------------------------------------

// What the seam has outstanding must be exactly what the pools, pmem's
// system pool and the accounting table own, and the block events must name
// exactly the blocks in the trees.
void check_world(World &w) {
    long owned = w.base + static_cast<long>(w.pool_live[PMEM_POOL_ID_N - 1]);
    size_t blocks = 0;
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        const auto_plex *me = plex_of_registry_link(l);
        owned += t::plex_owned(me);
        for (auto_plex_block *b : t::blocks_of(me))
            check(w.heard.count(b) && w.heard[b] == me, "a live block nobody was told of"),
                blocks++;
    }
    check(blocks == w.heard.size(), "a released block nobody was told of");
    mem_statis_table t = mem_statis_table_internal();
    owned += (t.records != nullptr) + t.registered;
    for (auto [p, owner] : w.blocks)
        owned += owner >= 0;
    check(ap_fault::live() == owned, "the seam's outstanding blocks",
          std::to_string(ap_fault::live()) + " outstanding, " + std::to_string(owned) + " owned");
}

World &world() {
    if (g) return *g;
    g = new World;
    auto_plex_set_block_hook_internal(on_block);
    g->base = ap_fault::live();
    if (!pmem_inited) pmem_init();
    for (int i = 0; i < 4; i++)
        plex_reinit(*g, i, 0);
    return *g;
}

void run_one(const uint8_t *data, size_t size) {
    World &w = world();
    Input in{data, size};
    int k = 0;
    while (in.pos < in.size) {
        uint8_t op = in.byte(), kind = op & 0x1f;
        int i = (op >> 5) % 4, fail = k;
        k = 0;
        if (kind == 0) {  // arms the next operation
            k = g_sweep ? 0 : 1 + (op >> 5) % 3;
            continue;
        }
        if (!w.up[i] && kind < 8) kind = 7;
        if (kind <= 3)
            plex_alloc(w, i, fail);
        else if (kind <= 5)
            plex_free(w, i, in.word());
        else if (kind == 6)
            for (int n = 1 + in.byte() % 128, frees = n & 1; n--;)
                frees ? plex_free(w, i, in.word()) : plex_alloc(w, i, 0);
        else if (kind == 7) {
            if (!w.up[i] || in.byte() % 4 == 0) plex_reinit(w, i, fail);
        } else if (kind < 20)
            pmem_op(w, in, (kind - 8) % 5, fail);
        else if (kind < 30)
            statis_op(w, in, (kind - 20) % 6, fail);
        else if (!w.blocks.empty())
            statis_release(w, in.word() % w.blocks.size());
        check_world(w);
        g_steps++;
    }
    for (int i = 0; i < 4; i++) {
        while (!w.slots[i].empty())
            plex_free(w, i, 0);
        if (!w.up[i]) plex_reinit(w, i, 0);
    }
    for (Input none{nullptr, 0}; !w.areas.empty();)
        pmem_op(w, none, 3, 0);
    while (!w.blocks.empty())
        statis_release(w, w.blocks.size() - 1);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        check_pool(w, p, 0);
        for (unsigned m = 1; m < PMEM_MID_N; m++)
            check_counts(w, p, m);
    }
    mem_statis_reset_internal();
    check_world(w);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    run_one(data, size);
    return 0;
}

#ifdef AUTO_PLEX_LIBFUZZER
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    atexit([] { fprintf(stderr, "%llu steps checked by the walkers\n", g_steps); });
    return 0;
}

// The world outlives each input, which libFuzzer's leak detection would take
// for a leak; the harness counts outstanding system blocks itself.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0:max_malloc_fill_size=0:quarantine_size_mb=16";
}
#else
// Replay: each argument is an input file, or "--random COUNT SEED" for that
// many pseudo-random inputs; then the out-of-memory sweep: one scripted
// input run again and again with the k-th seam allocation failing, for every
// k until a run no longer reaches it.
int main(int argc, char **argv) {
    std::vector<uint8_t> script;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--random") == 0 && i + 2 < argc) {
            std::mt19937_64 rng(strtoull(argv[i + 2], nullptr, 10));
            for (unsigned long n = strtoul(argv[i + 1], nullptr, 10); n--;) {
                std::vector<uint8_t> buf(64 + rng() % 4096);
                for (auto &b : buf)
                    b = static_cast<uint8_t>(rng());
                run_one(buf.data(), buf.size());
                if (script.empty()) script = buf;
            }
            i += 2;
            continue;
        }
        std::string bytes = t::read_file(argv[i]);
        run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    g_sweep = true;
    long points = 0;
    for (long k = 1; !script.empty(); k++, points++) {
        long fired = ap_fault::fired();
        ap_fault::fail_nth(k);
        run_one(script.data(), script.size());
        ap_fault::fail_nth(0);
        if (ap_fault::fired() == fired) break;
    }
    printf("%llu steps checked by the walkers, out of memory at %ld points\n", g_steps, points);
    return 0;
}
#endif
