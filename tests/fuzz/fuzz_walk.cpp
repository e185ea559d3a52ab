// The randomized run: an input decodes into operations on five pools of our
// own, every pmem entry point and the accounted modules, with "the k-th next
// system allocation fails" events.  After every step walkers recheck, from
// the library's state and what the harness holds, what docs/RELIABILITY.md
// lists.  pmem cannot be torn down, so the world outlives each input, which
// ends by releasing everything.  A libFuzzer target, and a replay (files, a
// fixed-seed stream, an out-of-memory sweep) for the suite.
#include <functional>
#include <map>
#include <random>

#include "private/malloc_statis_private.h"
#include "private/pmem_private.h"
#include "testing.h"

namespace {

unsigned long long g_steps;
int g_policy = AUTO_PLEX_RELEASE_DELAY;  // the release policy and delay the walk set last
uint32_t g_delay_ms = AUTO_PLEX_RELEASE_DELAY_DEFAULT_MS;
bool g_sweep;  // the out-of-memory sweep arms the seam itself

void check(bool ok, const char *what, const std::string &detail = "") {
    if (ok) return;
    fprintf(stderr, "after %llu steps: %s %s\n", g_steps, what, detail.c_str());
    abort();
}

struct Input {
    const uint8_t *data;
    size_t size, pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

// Live memory carries a tag from its address: a slot handed out twice or data
// lost in a move shows.
struct Area {
    unsigned char *p;
    size_t tagged;
    uint16_t mid;
    unsigned pool;
    unsigned char tag() const {
        return static_cast<unsigned char>(reinterpret_cast<uintptr_t>(p) >> 4 ^ 0x5a);
    }
    bool intact(const void *at, size_t n) const {
        auto *b = static_cast<const unsigned char *>(at);
        return std::all_of(b, b + std::min(n, tagged), [&](unsigned char c) { return c == tag(); });
    }
};

// Small blocks, tiny and odd slots, bounded plexes of one and several records.
constexpr uint64_t kShapes[][2] = {{1024, 0}, {12, 0}, {3, 0}, {1024, 700}, {48, 300}};
constexpr int kPlexes = 5;

struct World {
    auto_plex plex[kPlexes];
    bool up[kPlexes] = {};
    std::vector<Area> slots[kPlexes], areas;
    uint64_t pool_live[PMEM_POOL_ID_N] = {}, module_bytes[PMEM_MID_N] = {};
    std::vector<std::pair<void *, int>> blocks;  // accounted blocks; id -1 - n: brought in by inc
    long base = 0;
} * g;

void valid(const auto_plex *me) {
    t::AssertionResult r = t::plex_valid(me);
    check(r, "plex", r.message());
}

// Runs `op` with the k-th next seam allocation failing (0: none); true when a
// failure was injected inside it.
template <class Op>
bool attempt(int k, Op op) {
    long fired = ap_fault::fired;
    if (k) ap_fault::countdown = k;
    op();
    if (k) ap_fault::countdown = 0;
    return ap_fault::fired != fired;
}

Area &keep(std::vector<Area> &v, void *p, size_t n, uint16_t mid = 0, unsigned pool = 0) {
    v.push_back({static_cast<unsigned char *>(p), std::min<size_t>(n, 32), mid, pool});
    memset(p, v.back().tag(), v.back().tagged);
    return v.back();
}

Area take(std::vector<Area> &v, size_t pick) {
    Area a = v[pick % v.size()];
    v[pick % v.size()] = v.back();
    v.pop_back();
    check(a.intact(a.p, a.tagged), "live memory overwritten");
    return a;
}

// ---- the policy in the README's words, so a wrong formula disagrees here -----

// Block slots and records: an unbounded pool's blocks hold the fewest whole
// 256s of objects that come to 128 KiB; a bounded pool keeps one record per
// whole 128 KiB of its bound (1 to 16), its blocks the fewest whole 256s of
// slots with which those records hold the bound.
std::pair<uint64_t, uint64_t> documented_blocks(uint64_t item, uint64_t max) {
    uint64_t step = 256, records = 1;
    while (max && records < 16 && (records + 1) * 131072 <= max * item)
        records++;
    while (max ? step * records < max : step * item < 131072)
        step += 256;
    return {step, records};
}

// The bytes of the block that releasing `slot` empties, when more than one
// and a half blocks' worth of slots are then free; 0 when nothing goes.
size_t releases(const auto_plex *me, const void *slot) {
    const auto_plex_block *b = auto_plex_find_block_internal(me, slot);
    const uint64_t step = documented_blocks(me->item_size, me->max_num).first;
    const bool empties = plex_head_of(&b->ctl)->using_num == 1;
    return empties && 2 * (me->alloc_num - me->using_num + 1) > 3 * step ? t::block_bytes(b) : 0;
}

// The release bookkeeping as the README tells it, loaded from the library
// before a step and compared with it after: the areas kept idle (oldest
// first), the resident bytes released, and the trims and page returns made.
struct Release {
    std::vector<plex_idle_view> idle;
    size_t held, dirty, loaded_idle_bytes;
    bool trim_wanted;
    uint64_t last_check;
    long returned = ap_fault::returned, trims = ap_fault::trims;
    int policy;

    Release() {
        const plex_release_state r = auto_plex_release_state_internal();
        held = r.held, dirty = r.dirty, trim_wanted = r.trim_wanted, last_check = r.last_trim_check;
        loaded_idle_bytes = r.idle;
        for (uint32_t i = 0; i < r.idle_count; i++)
            idle.push_back(plex_release_idle_at_internal(i));
        policy = g_policy;
    }
    static uint64_t now() { return ap_fault::now_ns; }
    static uint64_t delay() { return g_delay_ms * 1000000; }

    // The oldest n go to the system allocator; those of `resident_from`
    // bytes or more keep their pages.
    void drop(size_t n, size_t resident_from = SIZE_MAX) {
        for (size_t i = 0; i < n; i++)
            idle[i].bytes < resident_from ? returned++ : dirty += idle[i].bytes;
        trim_wanted |= n != 0;
        idle.erase(idle.begin(), idle.begin() + long(n));
    }
    void trim() { trims++, dirty = 0; }
    // What has stayed idle for the delay goes back; the heap's top is looked
    // at once per delay, after memory went to the system allocator.
    void age() {
        size_t n = 0;
        while (n < idle.size() && now() - idle[n].since >= delay())
            n++;
        drop(n);
        if (trim_wanted && now() - last_check >= delay()) {
            last_check = now(), trim_wanted = false;
            if (ap_fault::top_idle >= AUTO_PLEX_RELEASE_SLACK) trim();
        }
    }
    // A growth: the newest idle area of the size, else the smallest up to
    // `most`; none, and the oldest go to the system allocator, as many bytes
    // as were asked for.
    void *obtain(size_t bytes, size_t most) {
        if (idle.empty()) return nullptr;
        age();
        long best = -1;
        for (long i = long(idle.size()); i-- > 0;) {
            const size_t b = idle[i].bytes;
            if (b == bytes) {
                best = i;
                break;
            }
            if (b > bytes && b <= most && (best < 0 || b < idle[best].bytes)) best = i;
        }
        if (best >= 0) {
            void *mem = idle[best].mem;
            idle.erase(idle.begin() + best);
            return mem;
        }
        size_t n = 0;
        for (size_t freed = 0; n < idle.size() && n < 32 && freed < bytes; n++)
            freed += idle[n].bytes;
        drop(n, most > bytes ? 0 : bytes);  // a block's smaller ones give pages back
        return nullptr;
    }
    void taken_up(size_t bytes) { dirty -= std::min(dirty, bytes); }
    void release(void *mem, size_t bytes, bool block) {
        if (policy == AUTO_PLEX_RELEASE_DELAY) {
            if (idle.size() == 1024) drop(1);
            idle.push_back({mem, bytes, now()});
            return age();
        }
        if (policy == AUTO_PLEX_RELEASE_TRIM) {
            trims += block;
            return;
        }
        // Released bytes no new block has taken up stay resident up to the
        // slack; past it a block's own pages go back at once, and once more
        // than an eighth of what the pools hold (at least the slack) stays
        // released, one trim starts the count again.
        const bool pages_back = block && dirty + bytes > AUTO_PLEX_RELEASE_SLACK;
        dirty += pages_back ? 0 : bytes;
        returned += pages_back;
        if (!pages_back && dirty > AUTO_PLEX_RELEASE_SLACK && 8 * dirty > held - bytes) trim();
    }
    void idle_all() {
        drop(idle.size());
        if (trim_wanted || dirty) trim(), trim_wanted = false, last_check = now();
    }
    void agrees(const char *what) const {
        const Release now;
        bool same = now.loaded_idle_bytes == idle_bytes() && now.dirty == dirty &&
                    now.returned == returned && now.trims == trims &&
                    now.trim_wanted == trim_wanted && now.last_check == last_check;
        for (size_t i = 0; same && i < idle.size(); i++)
            same = now.idle[i].mem == idle[i].mem && now.idle[i].bytes == idle[i].bytes &&
                   now.idle[i].since == idle[i].since;
        check(same && now.idle.size() == idle.size(), what);
    }
    size_t idle_bytes() const {
        size_t sum = 0;
        for (const plex_idle_view &v : idle)
            sum += v.bytes;
        return sum;
    }
};

// Runs `op`, which releases `bytes` of a block or a large area at `mem` (0:
// releases nothing the policy sees).
template <class Op>
void released(void *mem, size_t bytes, bool block, Op op) {
    Release want;
    op();
    if (bytes) want.release(mem, bytes, block);
    want.agrees(
        "a block released or kept against the policy: kept past the delay or given back "
        "early, its pages kept past the slack or returned within it, or a trim missed");
}

// Runs `op`, which may grow by a block of `bytes` or a large area of `bytes`
// to `most`, and returns the bytes it took up (0: none) and whether an
// injected failure stopped it (then how far it went is not checked).
// Returns the idle area the growth must have reused, or null.
// `then` is what the call releases once it has succeeded.
template <class Op>
void *obtaining(size_t bytes, size_t most, Op op, const std::function<void(Release &)> &then = {}) {
    Release want;
    void *reuse = bytes ? want.obtain(bytes, most) : nullptr;
    const auto [taken, failed] = op();
    if (failed) return nullptr;
    want.taken_up(taken);
    if (then) then(want);
    want.agrees("an idle area not reused, reused against the rules, or handed back wrongly");
    return reuse;
}

// ---- pools -------------------------------------------------------------------

void plex_alloc(World &w, int i, int k, bool walk = true) {
    auto_plex *me = &w.plex[i];
    const auto_plex was = *me;
    const size_t idle = t::idle_count(me);
    void *want = t::next_slot(me), *p = nullptr;
    // A new block of the documented size, or what is left of the bound.
    const uint64_t step = documented_blocks(me->item_size, me->max_num).first,
                   room = me->max_num ? me->max_num - was.using_num : step;
    bool bounded_out = me->max_num && (was.using_num == me->max_num || !t::idle_count(me));
    const size_t bytes =
        want || bounded_out
            ? 0
            : PLEX_BLOCK_HEAD_SIZE + std::min(step, room) * std::max<uint64_t>(me->item_size, 8);
    bool failed = false;
    const auto_plex_block *fresh = nullptr;
    void *reuse = obtaining(bytes, bytes, [&] {
        failed = attempt(k, [&] { p = auto_plex_alloc(me); });
        fresh = p && !want ? auto_plex_find_block_internal(me, p) : nullptr;
        return std::pair{fresh ? t::block_bytes(fresh) : 0, failed};
    });
    check(p ? !failed && p == (want ? want : get_start_ptr(&fresh->ctl))
            : !want && (failed || bounded_out) && me->alloc_failed == was.alloc_failed + 1,
          "not the lowest block's most recently freed or next never-used slot, or null without "
          "cause");
    check(me->expand_failed == was.expand_failed + failed &&
              me->count_expand == was.count_expand + !!fresh &&
              t::idle_count(me) == idle - (fresh && idle),
          "growth or its failure miscounted, or an idle record not reused");
    check(!fresh || (plex_head_of(&fresh->ctl)->alloc_num == std::min(step, room) &&
                     (!reuse || fresh->ctl.head == reuse)),
          "a new block's size, or an idle block of its size not the one reused");
    if (p) keep(w.slots[i], p, me->item_size);
    if (walk) valid(me);
}

void plex_free(World &w, int i, size_t pick, bool walk = true) {
    if (w.slots[i].empty()) return;
    auto_plex *me = &w.plex[i];
    Area a = take(w.slots[i], pick);
    auto_plex_block *b = auto_plex_find_block_internal(me, a.p);
    const uint64_t cleared = me->count_clear, bytes = releases(me, a.p);
    released(b->ctl.head, bytes, true, [&] { auto_plex_free(me, a.p); });
    check(me->count_clear == cleared + !!bytes && (bytes || b->ctl.free_list == a.p),
          "release policy, or a freed slot not first out");
    if (walk) valid(me);
}

// A shape of the plex's kind: `v` widens the slots and the bound.
void plex_reinit(World &w, int i, int k, unsigned v = 0) {
    if (w.up[i]) auto_plex_clear(&w.plex[i]);
    w.slots[i].clear();
    const uint64_t item = kShapes[i][0] + v, max = kShapes[i][1] ? kShapes[i][1] + 142 * v : 0;
    int rc = 1;
    bool failed = attempt(k, [&] { rc = auto_plex_init(&w.plex[i], item, max, "walk"); });
    const auto_plex &me = w.plex[i];
    const auto [step, records] = documented_blocks(item, max);
    check(rc == (failed ? -12 : 0) &&
              (rc ? !me.module_name && !me.item_size && !me.plex_link.next && !t::idle_count(&me)
                  : me.step_alloc_num == step && t::idle_count(&me) == records),
          "init result or block sizing, or a failed init not leaving the plex cleared");
    w.up[i] = rc == 0;
}

// ---- pmem --------------------------------------------------------------------

// Every pool edge and one either side, the spread up to 8 KiB, the system
// pool up to 320 KiB (a few released areas pass the slack), and refusals.
uint64_t pmem_size(Input &in) {
    uint8_t kind = in.byte() % 8;
    uint64_t edge = pmem_pool_sizes[in.byte() % (PMEM_POOL_ID_N - 1)];
    if (kind < 2) return edge + in.byte() % 3 + (edge == 0) - 1;
    if (kind == 5) return in.byte() % 64;
    if (kind == 6) return 8193 + in.word() * 5;
    if (kind == 7) return in.byte() % 2 ? (uint64_t{1} << 30) + 1 : SIZE_MAX - in.byte();
    return in.word() % 8209;
}

unsigned pool_for(uint64_t size) {  // the lowest that holds it
    return std::lower_bound(pmem_pool_sizes, pmem_pool_sizes + PMEM_POOL_ID_N, size) -
           pmem_pool_sizes;
}

void check_counts(const World &w, unsigned p, unsigned m) {
    const pool_statis &ps = pmem_pool_stats[p];
    const module_statis &ms = pmem_module_stats[m];
    check(ps.alloc_count - ps.free_count == w.pool_live[p] &&
              ms.alloc_size - ms.free_size == w.module_bytes[m],
          "pmem counters disagree with the areas held");
    if (p < PMEM_POOL_ID_N - 1) valid(&pmem_pools[p].pool_plex);
}

void tally(World &w, const Area &a, int sign) {
    w.pool_live[a.pool] += sign;
    w.module_bytes[a.mid] += sign * pmem_ptr2size(a.p);
}

void hold(World &w, void *q, uint16_t mid, uint64_t size) {
    const pmem_header *h = pmem_header_of(q);
    check(h->magic == PMEM_MAGIC && h->pool_id == pool_for(size) && h->mid == mid &&
              !(h->flags & PMEM_FLAG_FREED) && reinterpret_cast<uintptr_t>(q) % 16 == 0 &&
              pmem_ptr2size(q) >= size,
          "header");
    tally(w, keep(w.areas, q, size, mid, pool_for(size)), 1);
    check_counts(w, pool_for(size), mid);
}

// One allocating call for `size` bytes under `mid`: served, refused above
// 1 GiB (nothing counted) or failed (counted for the pool and the module).
template <class Call>
void *pmem_call(uint16_t mid, uint64_t size, int k, Call call,
                const std::function<void(Release &)> &then = {}) {
    unsigned p = size > PMEM_MAX_SIZE ? 0 : pool_for(size);
    uint64_t fails = pmem_pool_stats[p].fail_count, mine = pmem_module_stats[mid].fail_count[p];
    void *q = nullptr;
    bool failed = false;
    // A pool grows by a block when it has no slot left; a large area may
    // reuse an idle one up to an eighth larger.
    const auto_plex *pool = p < 26 ? &pmem_pools[p].pool_plex : nullptr;
    size_t need = (size + 15) / 16 * 16 + 16, most = need + need / 8;
    if (pool)
        need = most = t::next_slot(pool)
                          ? 0
                          : PLEX_BLOCK_HEAD_SIZE +
                                pool->step_alloc_num * std::max<uint64_t>(pool->item_size, 8);
    if (size > PMEM_MAX_SIZE) need = most = 0;
    const auto_plex_block *b = nullptr;
    void *reuse = obtaining(
        need, most,
        [&] {
            failed = attempt(k, [&] { q = call(); });
            b = q && pool ? auto_plex_find_block_internal(pool, static_cast<char *>(q) - 16)
                          : nullptr;
            return std::pair{!q     ? 0
                             : pool ? need ? t::block_bytes(b) : 0
                                    : pmem_ptr2size(q) + 16,
                             failed};
        },
        [&](Release &r) {
            if (q && then) then(r);
        });
    check(!q == (failed || size > PMEM_MAX_SIZE) &&
              pmem_pool_stats[p].fail_count == fails + failed &&
              pmem_module_stats[mid].fail_count[p] == mine + failed &&
              (!reuse || (pool ? b->ctl.head : static_cast<char *>(q) - 16) == reuse),
          "pmem result or failure count, or an idle area that fits not reused");
    return q;
}

void pmem_op(World &w, Input &in, int op, int k) {
    uint16_t mid = in.byte() % PMEM_MID_N;
    uint64_t size = pmem_size(in);
    void *q = nullptr;
    if (op == 0) q = pmem_call(mid, size, k, [&] { return pmem_malloc(mid, size); });
    if (op == 1) {
        uint64_t count = in.byte() % 9, each = size % 2048;
        q = pmem_call(mid, size = count * each, k, [&] { return pmem_calloc(mid, count, each); });
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
        check(!q || static_cast<char *>(q) == s.substr(0, size - 1), "string copy");
    }
    if (op == 3 && !w.areas.empty()) {
        Area a = take(w.areas, in.word());
        tally(w, a, -1);
        const auto_plex *pool = a.pool < 26 ? &pmem_pools[a.pool].pool_plex : nullptr;
        void *mem = pool ? auto_plex_find_block_internal(pool, a.p - 16)->ctl.head : a.p - 16;
        released(mem, pool ? releases(pool, a.p - 16) : pmem_ptr2size(a.p) + 16, pool,
                 [&] { pmem_free(a.p); });
        check_counts(w, a.pool, a.mid);
    }
    if (op == 4 && !w.areas.empty()) {
        Area old = take(w.areas, in.word());
        bool stays = size && size <= PMEM_MAX_SIZE && pool_for(size) == old.pool &&
                     old.pool != 26 && old.mid == mid;
        if (stays || size > PMEM_MAX_SIZE) {
            check(pmem_realloc(mid, old.p, size) == (stays ? old.p : nullptr),
                  "resize in place or refused");
            return w.areas.push_back(old);
        }
        tally(w, old, -1);  // released whenever the call succeeds, and always for size 0
        const auto_plex *pool = old.pool < 26 ? &pmem_pools[old.pool].pool_plex : nullptr;
        void *mem = pool ? auto_plex_find_block_internal(pool, old.p - 16)->ctl.head : old.p - 16;
        const size_t bytes = pool ? releases(pool, old.p - 16) : pmem_ptr2size(old.p) + 16;
        // To nothing: the old area goes first, then a zero-size one comes, from
        // a pool that (when it has a slot) does not grow.
        if (size == 0 && t::next_slot(&pmem_pools[0].pool_plex)) {
            released(mem, bytes, pool, [&] { q = pmem_realloc(mid, old.p, 0); });
            if (q) hold(w, q, mid, 0);
            return check_counts(w, old.pool, old.mid);
        }
        if (size == 0) {
            attempt(k, [&] { q = pmem_realloc(mid, old.p, 0); });
            if (q) hold(w, q, mid, 0);
            return check_counts(w, old.pool, old.mid);
        }
        q = pmem_call(
            mid, size, k, [&] { return pmem_realloc(mid, old.p, size); },
            [&](Release &r) {
                if (bytes) r.release(mem, bytes, pool);
            });
        check(!q || old.intact(q, size), "moved data");
        if (!q && size) tally(w, old, 1), w.areas.push_back(old);  // a failed move keeps the area
        if (q) hold(w, q, mid, size);
        return check_counts(w, old.pool, old.mid);
    }
    if (q) hold(w, q, mid, size);
}

// ---- accounting ----------------------------------------------------------------

void check_module(const World &w, int id) {
    const statis_record &r = *mem_statis_record_internal(id);
    int64_t held = 0;
    for (auto [p, owner] : w.blocks)
        held += (owner < 0 ? -owner - 1 : owner) == id ? static_cast<int64_t>(malloc_usable_size(p))
                                                       : 0;
    check(r.pub.mem_alloced == held && r.peak_mem_alloced >= held, "module holding");
}

void statis_op(World &w, Input &in, int op, int k) {
    mem_statis_table t = mem_statis_table_internal();
    if (op == 0 || t.registered == 0) {
        // Names differing only in case are distinct; 80 of them grow the table twice.
        std::string name = (in.byte() % 2 ? "mod" : "MOD") + std::to_string(in.byte() % 40);
        int known = -1, id = -2;
        for (int32_t n = 0; n < t.registered; n++)
            if (name == mem_statis_record_internal(n)->pub.module_name) known = n;
        bool failed = attempt(k, [&] { id = reg_module_id(name.c_str()); });
        mem_statis_table now = mem_statis_table_internal();
        const statis_record *r =
            mem_statis_record_internal(std::max(id, 0));  // the new one, if made
        check(known >= 0 ? id == known && !failed && now.registered == t.registered
              : failed
                  ? id == -1 && now.registered == t.registered
                  : id == t.registered && now.registered == id + 1 && name == r->pub.module_name &&
                        !r->pub.limit && !r->pub.mem_alloced && !r->peak_mem_alloced &&
                        !r->pub.over_limit_failed && reg_module_id(nullptr) == -1,
              "registration: a known name allocates, ids are not dense or a record is not new");
        return;
    }
    int id = in.byte() % t.registered;
    mem_statis_entry e = mem_statis_record_internal(id)->pub;
    uint64_t size = in.word() % 20000;  // or up to the limit, and one byte past it
    if (e.limit && e.limit >= uint64_t(e.mem_alloced) && in.byte() % 4 == 0)
        size = e.limit - e.mem_alloced + in.byte() % 2;
    else if (e.limit && in.byte() % 8 == 0)  // no sum may wrap and let it through
        size = SIZE_MAX - in.byte();
    if (op == 1) set_module_mem_limit(in.byte() % 3 ? 0 : e.mem_alloced + in.word(), id);
    if (op >= 2 && op <= 4) {
        size_t j = SIZE_MAX;
        for (size_t n = 0; op == 4 && n < w.blocks.size(); n++)
            if (w.blocks[n].second == id && (j == SIZE_MAX || in.byte() % 2)) j = n;
        void *old = j == SIZE_MAX ? nullptr : w.blocks[j].first, *p = nullptr;
        uint64_t count = op == 3 ? in.byte() % 5 : 1;
        if (count == 0) size %= 20000;  // calloc(0, huge) is refused by some allocators
        if (op == 3 && size && in.byte() % 8 == 0) count = SIZE_MAX / size + 1;
        // Refused when the module would hold more than a ceiling with the bytes
        // asked for, less the block given up; a resize to nothing only gives up.
        const __int128 asked = __int128(count) * size, gives_up = old ? malloc_usable_size(old) : 0;
        const bool refused =
            e.limit && (size || !old) && e.mem_alloced + asked > e.limit + gives_up;
        bool failed = attempt(k, [&] {
            p = op == 2   ? malloc_with_statis(size, id)
                : op == 3 ? calloc_with_statis(count, size, id)
                          : realloc_with_statis(old, size, id);
        });
        check(mem_statis_record_internal(id)->pub.over_limit_failed ==
                      e.over_limit_failed + refused &&
                  !p == (refused || failed || asked > SIZE_MAX || (old && !size)),
              "accounted result or refusal count");
        if (old && (p || !size)) w.blocks.erase(w.blocks.begin() + j);
        if (p) w.blocks.push_back({p, id});
    }
    if (op == 5) {
        w.blocks.push_back({malloc(in.word() % 3000), -id - 1});
        inc_mem_statis(w.blocks.back().first, id);
    }
    check_module(w, id);
}

void statis_release(World &w, size_t j) {
    auto [p, owner] = w.blocks[j];
    w.blocks.erase(w.blocks.begin() + j);
    if (owner < 0)
        dec_mem_statis(p, -owner - 1), free(p);
    else
        free_with_statis(p, owner);
    check_module(w, owner < 0 ? -owner - 1 : owner);
}

// The live walk visits exactly the areas the harness holds (of one module,
// or all), with their pool, module and usable size.
void check_live_walk(const World &w, int mid) {
    using Seen = std::map<void *, pmem_live_area>;
    Seen seen;
    const long countdown = std::exchange(ap_fault::countdown, 0);  // not one of the sweep's
    const long calls = pmem_walk_live(
        mid,
        [](const pmem_live_area *a, void *v) { return (*static_cast<Seen *>(v))[a->ptr] = *a, 0; },
        &seen);
    ap_fault::countdown = countdown;
    size_t held = 0;
    for (const Area &a : w.areas) {
        if (mid >= 0 && a.mid != mid) continue;
        held++;
        const pmem_live_area &it = seen[a.p];
        check(it.ptr == a.p && it.pool_id == a.pool && it.mid == a.mid &&
                  it.usable_size == pmem_ptr2size(a.p),
              "the live walk missed or misdescribed an area");
    }
    check(calls == long(held) && seen.size() == held, "the live walk visited a slot not live");
}

// ---- the release policy -----------------------------------------------------------

// The clock moves on; the policy, its delay or the heap's top change; or the
// host asks for everything idle back.
void release_op(uint8_t v) {
    if (v % 4 == 1) ap_fault::now_ns += (v / 4) * uint64_t{1000000} / 8;
    if (v % 4 == 3) {
        Release want;
        want.idle_all();
        auto_plex_release_idle();
        want.agrees("the idle areas not all given back, or no trim after them");
    }
    if (v % 4 != 2) return;
    if (v & 4) ap_fault::top_idle = v & 8 ? AUTO_PLEX_RELEASE_SLACK : AUTO_PLEX_RELEASE_SLACK - 1;
    if (v & 16) check(auto_plex_set_release_delay(g_delay_ms = v >> 6) == 0, "delay refused");
    if (v & 32) {
        Release want;
        if ((g_policy = (g_policy + 1) % 3) != AUTO_PLEX_RELEASE_DELAY) want.idle_all();
        check(auto_plex_set_release_policy(g_policy) == 0, "policy refused");
        want.agrees("a policy other than the delay leaves areas idle");
    }
}

// ---- one input ---------------------------------------------------------------------

void check_world(World &w) {
    long owned = w.base + static_cast<long>(w.pool_live[PMEM_POOL_ID_N - 1]);
    size_t held = 0;  // block memory and large areas, as the release policy counts them
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next) {
        owned += t::plex_owned(plex_of_registry_link(l));
        for (auto_plex_block *b : t::blocks_of(plex_of_registry_link(l)))
            held += t::block_bytes(b);
    }
    for (const Area &a : w.areas)
        held += a.pool == 26 ? pmem_ptr2size(a.p) + 16 : 0;
    check(auto_plex_release_state_internal().held == held, "held bytes miscounted");
    mem_statis_table t = mem_statis_table_internal();
    owned += t.chunks + t.registered + (pmem_large_capacity_internal() != 0) +
             static_cast<long>(granule_map_leaves_internal());
    for (auto [p, owner] : w.blocks)
        owned += owner >= 0;
    owned += static_cast<long>(auto_plex_release_state_internal().idle_count);
    check(ap_fault::live == owned, "the seam's outstanding blocks are not what the pools own");
}

void run_one(const uint8_t *data, size_t size) {
    if (!g) {
        g = new World;
        g->base = ap_fault::live;
        ap_fault::now_ns = uint64_t{1} << 40;  // the walk's own clock, moved by release_op
        if (!pmem_inited) pmem_init();
    }
    World &w = *g;
    Input in{data, size};
    for (int k = 0, fail; in.pos < in.size; g_steps++) {
        uint8_t op = in.byte(), kind = op & 0x1f;
        int i = (op >> 5) % kPlexes;
        fail = k, k = 0;
        if (kind == 0) {  // arms the next operation
            k = g_sweep ? 0 : 1 + (op >> 5) % 3;
            continue;
        }
        if (!w.up[i] && kind < 8) kind = 7;
        if (kind <= 3)
            plex_alloc(w, i, fail);
        else if (kind <= 5)
            plex_free(w, i, in.word());
        else if (kind == 6)  // a run long enough to fill a bounded plex, walked at its end
            for (int b = in.byte(), frees = b & 1, n = 1 + (frees ? b / 2 : 2 * b); n--;)
                frees ? plex_free(w, i, in.word(), !n) : plex_alloc(w, i, 0, !n);
        else if (uint8_t v = kind == 7 && w.up[i] ? in.byte() : 0; kind == 7 && v % 4 == 0)
            plex_reinit(w, i, fail, v / 4);
        else if (kind == 7)
            release_op(v);
        else if (kind >= 8 && kind < 20)
            pmem_op(w, in, (kind - 8) % 5, fail);
        else if (kind >= 20 && kind < 30)
            statis_op(w, in, (kind - 20) % 6, fail);
        else if (kind >= 30 && !w.blocks.empty())
            statis_release(w, in.word() % w.blocks.size());
        check_world(w);
        if (g_steps % 64 == 0) check_live_walk(w, g_steps % 128 ? -1 : op % PMEM_MID_N);
    }
    for (int i = 0; i < kPlexes; i++) {
        while (!w.slots[i].empty())
            plex_free(w, i, 0);
        if (!w.up[i]) plex_reinit(w, i, 0);
    }
    for (Input none{nullptr, 0}; !w.areas.empty();)
        pmem_op(w, none, 3, 0);
    while (!w.blocks.empty())
        statis_release(w, w.blocks.size() - 1);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
        for (unsigned m = 0; m < PMEM_MID_N; m++)
            check((pmem_pool_stats[p].alloc_count == pmem_pool_stats[p].free_count) &&
                      pmem_module_stats[m].alloc_count[p] == pmem_module_stats[m].free_count[p],
                  "a count left open after everything was released");
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
// many pseudo-random inputs; then the out-of-memory sweep: the first random
// input again and again with the k-th seam allocation failing, for every k
// until a run no longer reaches it.
int main(int argc, char **argv) {
    std::vector<uint8_t> script;
    for (int i = 1; i < argc; i++) {
        std::string bytes = t::read_file(argv[i]);
        if (strcmp(argv[i], "--random") == 0 && i + 2 < argc) {
            std::mt19937_64 rng(strtoull(argv[i + 2], nullptr, 10));
            for (unsigned long n = strtoul(argv[i + 1], nullptr, 10); n--;) {
                bytes.resize(64 + rng() % 4096);
                for (char &b : bytes)
                    b = static_cast<char>(rng());
                if (script.empty()) script.assign(bytes.begin(), bytes.end());
                run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            }
            i += 2;
            continue;
        }
        run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    g_sweep = true;
    long points = 0;
    for (long fired = -1; !script.empty() && fired != ap_fault::fired; points++) {
        fired = ap_fault::fired;
        ap_fault::countdown = points + 1;
        run_one(script.data(), script.size());
        ap_fault::countdown = 0;
    }
    printf("%llu steps checked by the walkers, out of memory at %ld points\n", g_steps, points - 1);
    return 0;
}
#endif
