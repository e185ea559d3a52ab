// Differential fuzzing: an input is decoded into a sequence of operations on
// six pools, on pmem (every entry point, any module id) and on the module
// accounting table, with "the next system allocation fails" events; after
// every operation the library is compared with the reference models, and any
// difference aborts with a description.
//
// pmem and the pool registry are process-wide and pmem cannot be torn down,
// so the world (pmem, the six pools and their models) is set up once per
// process and carried from input to input: at the end of each input every
// allocation is released, everything is compared in full, the system blocks
// still held must be exactly those the models say the pools keep, and the
// accounting table is emptied with its test hook.  A failing input therefore
// reproduces from a fresh process in most cases, but block addresses and the
// blocks kept by earlier inputs may differ.
//
// Built two ways: with clang's libFuzzer (-DAUTO_PLEX_FUZZ=ON), and as a
// plain program that replays files and a fixed-seed stream of random inputs,
// which is how the ordinary test suite runs it.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>
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

unsigned long long g_operations;

[[noreturn]] void mismatch(const char *where, const ::testing::AssertionResult &r) {
    fprintf(stderr, "model mismatch after %s: %s\n", where, r.message());
    abort();
}

void expect(const char *where, const ::testing::AssertionResult &r) {
    if (!r) mismatch(where, r);
}

// Reads the input one byte at a time; zeros once it runs out.
struct Input {
    const uint8_t *data;
    size_t size, pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t dword() { return word() | uint32_t{word()} << 16; }
};

// Every byte of a live area carries a tag derived from its address, so a
// slot handed out twice, or data lost in a move, shows up.
unsigned char tag_of(const void *p) {
    return static_cast<unsigned char>(reinterpret_cast<uintptr_t>(p) >> 4 ^ 0x5a);
}

[[noreturn]] void overwritten(const void *p, uint64_t at) {
    fprintf(stderr, "live area %p overwritten at byte %llu\n", p, (unsigned long long)at);
    abort();
}

// ---- the six pools ---------------------------------------------------------

struct Shape {
    uint64_t item, max;
};
// Small blocks so that short inputs cross block boundaries, tiny and odd
// slots, bounded plexes with one and with several records.
constexpr Shape kShapes[] = {{1024, 0}, {12, 0}, {1024, 700}, {48, 300}, {4000, 0}, {3, 0}};
constexpr int kPlexes = sizeof kShapes / sizeof kShapes[0];

struct PoolUnderTest {
    auto_plex plex;
    std::unique_ptr<model::PlexModel> model;
    std::vector<unsigned char *> live;
    uint64_t seen_events = 0;
    unsigned since_full = 0;
};

// ---- world -----------------------------------------------------------------

struct PmemArea {
    unsigned char *p;
    uint64_t filled;  // leading bytes carrying the tag
};

struct StatisBlock {
    void *p;
    int id;
    bool foreign;  // obtained outside the library and brought in by inc_mem_statis
};

struct World {
    PoolUnderTest pools[kPlexes];
    std::unique_ptr<model::PmemModel> pmem;
    std::vector<PmemArea> pmem_live;
    model::StatisModel statis;
    std::vector<StatisBlock> statis_live;
    std::vector<const auto_plex *> registry;  // newest first
    long live_base = 0;
};

World *g_world;

// What auto_plex_init must decide, computed independently: block records
// and the largest block (no pre-allocation marker in this process).
void expected_sizing(const Shape &s, uint64_t *records, uint64_t *step) {
    uint64_t t = s.item * s.max >> 17;
    *records = t < 1 ? 1 : (t > 16 ? 16 : t);
    uint64_t want = s.max ? (s.max + *records - 1) / *records : (131072 + s.item - 1) / s.item;
    *step = (want + 255) / 256 * 256;
}

::testing::AssertionResult registry_matches(const World &w) {
    const auto_plex_link *l = plex_registry.next;
    for (const auto_plex *p : w.registry) {
        if (l != &p->plex_link) return ::testing::AssertionFailure() << "registry order differs";
        l = l->next;
    }
    if (l != &plex_registry) return ::testing::AssertionFailure() << "registry longer than model";
    return ::testing::AssertionSuccess();
}

void registry_remove(World &w, const auto_plex *p) {
    for (auto it = w.registry.begin(); it != w.registry.end(); ++it)
        if (*it == p) {
            w.registry.erase(it);
            return;
        }
}

void plex_init(World &w, PoolUnderTest &t, const Shape &s, int fail_at) {
    uint64_t records, step;
    expected_sizing(s, &records, &step);
    if (fail_at) ap_fault::fail_nth(fail_at);
    int rc = auto_plex_init(&t.plex, s.item, s.max, "fuzz");
    ap_fault::fail_nth(0);
    // Calls: the name copy, then one per record.
    bool fails = fail_at >= 1 && static_cast<uint64_t>(fail_at) <= 1 + records;
    if (rc != (fails ? -12 : 0))
        mismatch("plex init", ::testing::AssertionFailure() << "rc " << rc);
    t.live.clear();
    t.model.reset();
    if (rc != 0) {
        if (t.plex.module_name || t.plex.idle_blocks.next != &t.plex.idle_blocks)
            mismatch("failed init", ::testing::AssertionFailure() << "control block not cleared");
        return;
    }
    if (t.plex.block_num != records || t.plex.step_alloc_num != step)
        mismatch("plex init", ::testing::AssertionFailure() << "sizing differs");
    t.model = std::make_unique<model::PlexModel>(t.plex);
    t.seen_events = 0;
    w.registry.insert(w.registry.begin(), &t.plex);
}

World &world() {
    if (g_world) return *g_world;
    g_world = new World;
    World &w = *g_world;
    ap_fault::reset();
    w.live_base = ap_fault::live();
    if (!pmem_inited) pmem_init();
    w.pmem = std::make_unique<model::PmemModel>();
    for (int p = model::PmemModel::kPlexPools - 1; p >= 0; p--)
        w.registry.push_back(&pmem_pools[p].pool_plex);
    expect("pmem_init registry", registry_matches(w));
    for (int i = 0; i < kPlexes; i++)
        plex_init(w, w.pools[i], kShapes[i], 0);
    expect("init registry", registry_matches(w));
    return w;
}

// Compares one pool; the full walk only when a block came or went, every
// 64th operation, or when asked.
void check_plex(PoolUnderTest &t, bool force_full) {
    if (!t.model) return;
    bool full = force_full || t.model->structure_events() != t.seen_events || ++t.since_full >= 64;
    expect("pool operation", t.model->matches(t.plex, full));
    if (full) {
        t.seen_events = t.model->structure_events();
        t.since_full = 0;
    }
}

// ---- pool operations -------------------------------------------------------

// The model checks every address; the tag only has to show a slot handed
// out twice, so the leading bytes (the free-list link among them) suffice.
uint64_t tagged_bytes(const PoolUnderTest &t) {
    return t.plex.item_size < 64 ? t.plex.item_size : 64;
}

void pool_alloc(PoolUnderTest &t, int fail_at) {
    if (!t.model) return;
    if (fail_at) ap_fault::fail_nth(fail_at);
    auto *p = static_cast<unsigned char *>(auto_plex_alloc(&t.plex));
    ap_fault::fail_nth(0);
    expect("pool alloc", t.model->alloc(t.plex, p, fail_at));
    if (p) {
        memset(p, tag_of(p), tagged_bytes(t));
        t.live.push_back(p);
    }
}

void pool_free(PoolUnderTest &t, size_t pick) {
    if (t.live.empty()) return;
    size_t i = pick % t.live.size();
    unsigned char *p = t.live[i];
    for (uint64_t k = 0; k < tagged_bytes(t); k++)
        if (p[k] != tag_of(p)) overwritten(p, k);
    t.live[i] = t.live.back();
    t.live.pop_back();
    auto_plex_free(&t.plex, p);
    t.model->free(p);
}

// Clears the pool (live slots and all) and initialises it again.
void pool_reinit(World &w, int i, int fail_at) {
    PoolUnderTest &t = w.pools[i];
    if (t.model) {
        auto_plex_clear(&t.plex);
        registry_remove(w, &t.plex);
    }
    plex_init(w, t, kShapes[i], fail_at);
    expect("pool re-init registry", registry_matches(w));
}

// ---- pmem operations -------------------------------------------------------

// Sizes that matter: every pool edge, the spread up to 8 KiB, some of pool
// 26, and refusals (above 1 GiB up to SIZE_MAX).
uint64_t pmem_size(Input &in) {
    uint8_t kind = in.byte();
    switch (kind % 8) {
        case 0:
        case 1: {
            uint64_t edge = model::PmemModel::kSizes[in.byte() % 26];
            return edge + (in.byte() % 3) - 1 + (edge == 0);
        }
        case 2:
        case 3:
        case 4:
            return in.word() % 8209;
        case 5:
            return in.byte() % 64;
        case 6:
            return 8193 + in.word() % 60000;
        default: {
            static constexpr uint64_t kRefused[] = {(uint64_t{1} << 30) + 1, uint64_t{1} << 31,
                                                    uint64_t{1} << 62, SIZE_MAX - 15, SIZE_MAX};
            return kRefused[in.byte() % 5];
        }
    }
}

uint16_t pmem_mid(Input &in) {
    return static_cast<uint16_t>(in.byte() % PMEM_MID_N);
}

void fill_area(World &w, unsigned char *p, uint64_t size) {
    uint64_t n = size < 64 ? size : 64;
    memset(p, tag_of(p), n);
    w.pmem_live.push_back(PmemArea{p, n});
}

// The tagged bytes of `from` must now be at the start of `to` (first n).
void check_area(const unsigned char *from, const unsigned char *to, uint64_t n) {
    for (uint64_t k = 0; k < n; k++)
        if (to[k] != tag_of(from)) overwritten(to, k);
}

size_t pick_area(World &w, Input &in) {
    return in.word() % w.pmem_live.size();
}

PmemArea take_area(World &w, size_t i) {
    PmemArea a = w.pmem_live[i];
    w.pmem_live[i] = w.pmem_live.back();
    w.pmem_live.pop_back();
    return a;
}

void pmem_alloc(World &w, uint16_t mid, uint64_t size, int fail_at) {
    if (fail_at) ap_fault::fail_nth(fail_at);
    auto *p = static_cast<unsigned char *>(pmem_malloc(mid, size));
    ap_fault::fail_nth(0);
    expect("pmem_malloc", w.pmem->alloc(mid, size, p, fail_at));
    if (p) fill_area(w, p, size);
}

void pmem_release(World &w, size_t i) {
    PmemArea a = take_area(w, i);
    check_area(a.p, a.p, a.filled);
    pmem_free(a.p);
    w.pmem->free(a.p);
}

void pmem_calloc_op(World &w, Input &in, int fail_at) {
    uint16_t mid = pmem_mid(in);
    uint64_t count, size;
    uint8_t shape = in.byte();
    if (shape % 8 == 0) {  // a product that wraps
        count = (uint64_t{1} << 33) + in.byte();
        size = (uint64_t{1} << 32) + in.byte();
    } else if (shape % 8 == 1) {  // just above 1 GiB
        count = (uint64_t{1} << 20) + 1;
        size = 1024;
    } else {
        count = in.byte() % 40;
        size = pmem_size(in) % 4096;
    }
    unsigned __int128 product = static_cast<unsigned __int128>(count) * size;
    if (fail_at) ap_fault::fail_nth(fail_at);
    auto *p = static_cast<unsigned char *>(pmem_calloc(mid, count, size));
    ap_fault::fail_nth(0);
    if (product > SIZE_MAX) {
        if (p) mismatch("pmem_calloc", ::testing::AssertionFailure() << "wrapped product served");
        return;
    }
    uint64_t n = static_cast<uint64_t>(product);
    expect("pmem_calloc", w.pmem->alloc(mid, n, p, fail_at));
    if (!p) return;
    for (uint64_t k = 0; k < n; k++)
        if (p[k] != 0) mismatch("pmem_calloc", ::testing::AssertionFailure() << "not zeroed");
    fill_area(w, p, n);
}

void pmem_realloc_op(World &w, Input &in, int fail_at) {
    uint16_t mid = pmem_mid(in);
    uint64_t size = pmem_size(in);
    bool from_null = w.pmem_live.empty() || in.byte() % 8 == 0;
    if (from_null) {
        if (fail_at) ap_fault::fail_nth(fail_at);
        auto *p = static_cast<unsigned char *>(pmem_realloc(mid, nullptr, size));
        ap_fault::fail_nth(0);
        expect("pmem_realloc(null)", w.pmem->alloc(mid, size, p, fail_at));
        if (p) fill_area(w, p, size);
        return;
    }
    size_t i = pick_area(w, in);
    PmemArea old = w.pmem_live[i];
    using R = model::PmemModel::Resize;
    R kind = w.pmem->resize_kind(mid, old.p, size);
    uint64_t old_usable = w.pmem->usable(old.p);

    if (fail_at) ap_fault::fail_nth(fail_at);
    auto *p = static_cast<unsigned char *>(pmem_realloc(mid, old.p, size));
    ap_fault::fail_nth(0);

    switch (kind) {
        case R::kRefuse:
        case R::kInPlace:
            if (p != (kind == R::kInPlace ? old.p : nullptr))
                mismatch("pmem_realloc", ::testing::AssertionFailure()
                                             << "in place/refused: got " << static_cast<void *>(p));
            check_area(old.p, old.p, old.filled);
            if (kind == R::kInPlace && size < old.filled) w.pmem_live[i].filled = size;
            return;
        case R::kReleaseThenZero:
            take_area(w, i);
            w.pmem->free(old.p);
            expect("pmem_realloc(0)", w.pmem->alloc(mid, 0, p, fail_at));
            if (p) fill_area(w, p, 0);
            return;
        case R::kMove:
            expect("pmem_realloc move", w.pmem->alloc(mid, size, p, fail_at));
            if (!p) {  // the old area stays as it was
                check_area(old.p, old.p, old.filled);
                return;
            }
            take_area(w, i);
            check_area(old.p, p, std::min<uint64_t>(old.filled, std::min(old_usable, size)));
            w.pmem->free(old.p);
            fill_area(w, p, size);
            return;
        case R::kAllocate:
            break;
    }
}

void pmem_string_op(World &w, Input &in, int fail_at) {
    uint16_t mid = pmem_mid(in);
    char text[320];
    size_t len = in.byte() + in.byte() % 64;
    for (size_t k = 0; k < len; k++)
        text[k] = static_cast<char>('a' + k % 26);
    text[len] = '\0';
    bool nul_s = in.byte() % 16 == 0;
    bool dup = in.byte() % 2;
    size_t n = in.byte() % 2 ? in.word() : SIZE_MAX;
    if (fail_at) ap_fault::fail_nth(fail_at);
    char *copy = dup ? pmem_strdup(mid, nul_s ? nullptr : text)
                     : pmem_strndup(mid, nul_s ? nullptr : text, n);
    ap_fault::fail_nth(0);
    if (nul_s) {
        if (copy) mismatch("pmem string copy", ::testing::AssertionFailure() << "copy of null");
        return;
    }
    size_t want = dup ? len : strnlen(text, n);
    expect("pmem string copy", w.pmem->alloc(mid, want + 1, copy, fail_at));
    if (!copy) return;
    if (strlen(copy) != want || memcmp(copy, text, want) != 0)
        mismatch("pmem string copy", ::testing::AssertionFailure() << "copy differs");
    fill_area(w, reinterpret_cast<unsigned char *>(copy), want + 1);
}

// ---- module accounting operations ------------------------------------------

constexpr int kStatisNames = 40;  // more than the first table of 32

void statis_reg(World &w, Input &in, int fail_at) {
    uint8_t b = in.byte();
    char name[16];
    snprintf(name, sizeof name, "mod%d", b % kStatisNames);
    const char *arg = b % 64 == 63 ? nullptr : name;
    if (fail_at) ap_fault::fail_nth(fail_at);
    int id = reg_module_id(arg);
    ap_fault::fail_nth(0);
    expect("reg_module_id", w.statis.reg(arg, id, fail_at));
    expect("reg_module_id table", w.statis.matches());
}

// A registered id, registering one first when there is none.
int statis_id(World &w, Input &in) {
    if (w.statis.registered() == 0) {
        int id = reg_module_id("mod0");
        expect("reg_module_id", w.statis.reg("mod0", id, 0));
    }
    return in.byte() % w.statis.registered();
}

uint64_t statis_size(Input &in) {
    return in.byte() % 4 == 0 ? in.byte() : in.word() % 20000;
}

void statis_limit(World &w, Input &in) {
    int id = statis_id(w, in);
    int64_t held = w.statis.entry(id).held;
    uint64_t limit;
    switch (in.byte() % 4) {
        case 0:
            limit = 0;
            break;
        case 1:
            limit = held + in.word();
            break;
        case 2:
            limit = held > 0 ? in.dword() % held + 1 : 1;
            break;
        default:
            limit = in.dword() % 100000 + 1;
    }
    if (set_module_mem_limit(limit, id) != 0)
        mismatch("set_module_mem_limit", ::testing::AssertionFailure() << "nonzero result");
    w.statis.set_limit(id, limit);
    expect("set_module_mem_limit", w.statis.matches(id));
}

void statis_alloc(World &w, Input &in, int fail_at) {
    int id = statis_id(w, in);
    bool zeroed = in.byte() % 3 == 0;
    uint64_t count = 1, size = statis_size(in);
    uint8_t shape = in.byte();
    // Requests no block can satisfy, only where the ceiling answers for
    // them: without one they would reach the system allocator.
    const model::StatisModel::Entry &e = w.statis.entry(id);
    if (e.limit != 0 && shape % 8 == 0) size = SIZE_MAX - shape;
    // Exactly up to the ceiling, and one byte past it.
    if (e.limit != 0 && shape % 8 == 2 && static_cast<int64_t>(e.limit) >= e.held)
        size = e.limit - e.held + (shape >> 7);
    if (zeroed && shape % 8 == 1) {
        count = uint64_t{1} << 40;
        size = uint64_t{1} << 30;  // wraps
    } else if (zeroed) {
        count = shape % 9;
        if (count == 0) size %= 20000;  // calloc(0, huge) is the allocator's call
    }
    unsigned __int128 bytes = static_cast<unsigned __int128>(count) * size;
    bool wraps = bytes > SIZE_MAX;

    if (fail_at) ap_fault::fail_nth(fail_at);
    void *p = zeroed ? calloc_with_statis(count, size, id) : malloc_with_statis(size, id);
    ap_fault::fail_nth(0);

    bool reaches;
    if (wraps) {
        if (w.statis.entry(id).limit != 0) w.statis.refused(id);
        reaches = false;
    } else {
        reaches = !w.statis.refuses(id, bytes, 0);
    }
    expect("accounted alloc",
           w.statis.allocated(id, reaches, fail_at, p, p ? malloc_usable_size(p) : 0, 0));
    expect("accounted alloc", w.statis.matches(id));
    if (p) w.statis_live.push_back(StatisBlock{p, id, false});
}

void statis_realloc(World &w, Input &in, int fail_at) {
    int id = statis_id(w, in);
    uint64_t size = statis_size(in);
    void *old = nullptr;
    size_t i = 0;
    // Only blocks accounted to this module may be resized under it.
    for (size_t k = 0; k < w.statis_live.size(); k++)
        if (w.statis_live[k].id == id && !w.statis_live[k].foreign) {
            old = w.statis_live[k].p;
            i = k;
            if (in.byte() % 2) break;
        }
    if (old && in.byte() % 5 == 0) size = 0;
    uint64_t old_usable = old ? malloc_usable_size(old) : 0;

    if (fail_at) ap_fault::fail_nth(fail_at);
    void *p = realloc_with_statis(old, size, id);
    ap_fault::fail_nth(0);

    if (old && size == 0) {
        if (p) mismatch("realloc to 0", ::testing::AssertionFailure() << "non-null result");
        w.statis.released(id, old_usable);
        w.statis_live.erase(w.statis_live.begin() + static_cast<long>(i));
    } else {
        bool reaches = !w.statis.refuses(id, size, old_usable);
        expect("accounted realloc", w.statis.allocated(id, reaches, fail_at, p,
                                                       p ? malloc_usable_size(p) : 0, old_usable));
        if (p && old)
            w.statis_live[i].p = p;
        else if (p)
            w.statis_live.push_back(StatisBlock{p, id, false});
    }
    expect("accounted realloc", w.statis.matches(id));
}

void statis_release(World &w, size_t i) {
    StatisBlock b = w.statis_live[i];
    w.statis_live[i] = w.statis_live.back();
    w.statis_live.pop_back();
    w.statis.released(b.id, malloc_usable_size(b.p));
    if (b.foreign) {
        dec_mem_statis(b.p, b.id);
        free(b.p);
    } else {
        free_with_statis(b.p, b.id);
    }
    expect("accounted release", w.statis.matches(b.id));
}

void statis_inc(World &w, Input &in) {
    int id = statis_id(w, in);
    void *p = malloc(in.word() % 3000);
    inc_mem_statis(p, id);
    w.statis.added(id, malloc_usable_size(p));
    w.statis_live.push_back(StatisBlock{p, id, true});
    // A null block changes nothing.
    inc_mem_statis(nullptr, id);
    dec_mem_statis(nullptr, id);
    free_with_statis(nullptr, id);
    expect("inc_mem_statis", w.statis.matches(id));
}

// ---- one input -------------------------------------------------------------

void drain(World &w) {
    for (int i = 0; i < kPlexes; i++) {
        PoolUnderTest &t = w.pools[i];
        while (!t.live.empty())
            pool_free(t, 0);
        if (!t.model) pool_reinit(w, i, 0);  // an init that failed at the end
        check_plex(t, true);
    }
    while (!w.pmem_live.empty())
        pmem_release(w, w.pmem_live.size() - 1);
    expect("pmem drain", w.pmem->matches(true));
    while (!w.statis_live.empty())
        statis_release(w, w.statis_live.size() - 1);
    expect("accounting drain", w.statis.matches());
    for (int id = 0; id < w.statis.registered(); id++)
        if (w.statis.entry(id).held != 0)
            mismatch("accounting drain", ::testing::AssertionFailure() << "bytes left held");
    expect("registry", registry_matches(w));

    mem_statis_reset_internal();
    w.statis.reset();
    long held = w.pmem->system_blocks();
    for (const PoolUnderTest &t : w.pools)
        held += 1 + t.model->system_blocks();
    if (ap_fault::live() != w.live_base + held) {
        fprintf(stderr, "leak: %ld system blocks outstanding, the pools hold %ld\n",
                ap_fault::live() - w.live_base, held);
        abort();
    }
}

void run_one(const uint8_t *data, size_t size) {
    World &w = world();
    Input in{data, size};
    int fail_next = 0;
    while (in.more()) {
        uint8_t op = in.byte();
        PoolUnderTest &t = w.pools[(op >> 5) % kPlexes];
        int fail = fail_next;
        fail_next = 0;
        switch (op & 0x1f) {
            case 0:
            case 1:
            case 2:
            case 3:
                pool_alloc(t, fail);
                check_plex(t, false);
                break;
            case 4:
            case 5:
            case 6:
                pool_free(t, in.word());
                check_plex(t, false);
                break;
            case 7: {  // a burst, to reach block boundaries with short inputs
                int n = 1 + in.byte() % 128;
                for (int k = 0; k < n; k++)
                    pool_alloc(t, 0);
                check_plex(t, false);
                break;
            }
            case 8: {
                int n = 1 + in.byte() % 128;
                for (int k = 0; k < n; k++)
                    pool_free(t, in.word() ^ static_cast<unsigned>(k) * 7919);
                check_plex(t, false);
                break;
            }
            case 9:
                fail_next = 1 + (op >> 5) % 3;
                continue;  // applies to the next operation
            case 10:
                if (in.byte() % 4 == 0) pool_reinit(w, (op >> 5) % kPlexes, fail);
                break;
            case 11:
            case 12:
            case 13: {
                uint16_t mid = pmem_mid(in);
                pmem_alloc(w, mid, pmem_size(in), fail);
                break;
            }
            case 14:
            case 15:
            case 16:
                if (!w.pmem_live.empty()) pmem_release(w, pick_area(w, in));
                break;
            case 17:
                pmem_calloc_op(w, in, fail);
                break;
            case 18:
            case 19:
                pmem_realloc_op(w, in, fail);
                break;
            case 20:
                pmem_string_op(w, in, fail);
                break;
            case 21: {  // a burst in one size class, to cross its block boundaries
                uint16_t mid = pmem_mid(in);
                uint64_t s = pmem_size(in) % 8193;
                int n = 1 + in.byte();
                for (int k = 0; k < n; k++)
                    pmem_alloc(w, mid, s, 0);
                break;
            }
            case 22: {
                int n = 1 + in.byte();
                for (int k = 0; k < n && !w.pmem_live.empty(); k++)
                    pmem_release(w, pick_area(w, in));
                break;
            }
            case 23:
                statis_reg(w, in, fail);
                break;
            case 24:
                statis_limit(w, in);
                break;
            case 25:
            case 26:
            case 27:
                statis_alloc(w, in, fail);
                break;
            case 28:
                statis_realloc(w, in, fail);
                break;
            case 29:
                if (!w.statis_live.empty()) statis_release(w, in.word() % w.statis_live.size());
                break;
            case 30:
                statis_inc(w, in);
                break;
            default:
                pmem_free(nullptr);
                if (pmem_ptr2size(nullptr) != 0 || pmem_strdup(0, nullptr) ||
                    pmem_strndup(0, nullptr, 1))
                    mismatch("null arguments", ::testing::AssertionFailure());
                if (!w.pmem_live.empty()) {
                    const PmemArea &a = w.pmem_live[pick_area(w, in)];
                    if (pmem_ptr2size(a.p) != w.pmem->usable(a.p))
                        mismatch("pmem_ptr2size", ::testing::AssertionFailure());
                }
                break;
        }
        if ((op & 0x1f) >= 11 && (op & 0x1f) <= 22) expect("pmem", w.pmem->matches(false));
        g_operations++;
    }
    drain(w);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    run_one(data, size);
    return 0;
}

#ifdef AUTO_PLEX_LIBFUZZER
// The operation count of a run, for the figures in docs/RELIABILITY.md.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    atexit([] {
        fprintf(stderr, "%llu operations checked against the model, 0 mismatches\n", g_operations);
    });
    return 0;
}

// The world outlives each input, which libFuzzer's leak detection would take
// for a leak on every input and re-run it; the harness counts outstanding
// system blocks itself (drain).  Filling each new block and a large
// quarantine only add page faults: the model checks every address handed out.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0:max_malloc_fill_size=0:quarantine_size_mb=16";
}
#endif

#ifndef AUTO_PLEX_LIBFUZZER
// Replay: each argument is an input file, or "--random COUNT SEED" for that
// many pseudo-random inputs.  Prints the totals on success.
int main(int argc, char **argv) {
    unsigned long long inputs = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--random") == 0 && i + 2 < argc) {
            unsigned long count = strtoul(argv[i + 1], nullptr, 10);
            std::mt19937_64 rng(strtoull(argv[i + 2], nullptr, 10));
            i += 2;
            for (unsigned long k = 0; k < count; k++, inputs++) {
                std::vector<uint8_t> buf(64 + rng() % 4096);
                for (auto &b : buf)
                    b = static_cast<uint8_t>(rng());
                run_one(buf.data(), buf.size());
                if ((k + 1) % 100000 == 0)
                    fprintf(stderr, "%lu inputs, %llu operations\n", k + 1, g_operations);
            }
            continue;
        }
        std::ifstream f(argv[i], std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        std::string bytes = s.str();
        run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        inputs++;
    }
    printf("%llu inputs, %llu operations checked against the model, 0 mismatches\n", inputs,
           g_operations);
    return 0;
}
#endif
