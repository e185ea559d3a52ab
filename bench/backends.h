// The allocators the benchmarks compare, behind one tiny interface:
// alloc(size), free(ptr, size) and, for the general-purpose ones,
// realloc(ptr, old, size).  Fixed-size pools take their object size at
// construction and ignore the per-call size.
#ifndef AUTO_PLEX_BENCH_BACKENDS_H
#define AUTO_PLEX_BENCH_BACKENDS_H

#include <stdint.h>
#include <stdlib.h>

#include <boost/pool/object_pool.hpp>
#include <boost/pool/pool.hpp>
#include <memory_resource>
#include <new>

#include "ap_settings.h"
#include "auto_plex.h"
#include "malloc_statis.h"
#include "pmem.h"

namespace bench {

constexpr uint16_t kPmemModule = 7;

// Whatever malloc the process has: glibc, or a peer preloaded by the script.
struct Malloc {
    static constexpr bool general = true;
    explicit Malloc(size_t = 0) {}
    void *alloc(size_t n) { return malloc(n); }
    void free(void *p, size_t) { ::free(p); }
    void *realloc(void *p, size_t, size_t n) { return ::realloc(p, n); }
};

struct Pmem {
    static constexpr bool general = true;
    explicit Pmem(size_t = 0) {
        if (!pmem_inited) pmem_init();
    }
    void *alloc(size_t n) { return pmem_malloc(kPmemModule, n); }
    void free(void *p, size_t) { pmem_free(p); }
    void *realloc(void *p, size_t, size_t n) { return pmem_realloc(kPmemModule, p, n); }
};

// pmem with one of the operators' controls switched on, to price it; each is
// process-wide, so the backend switches it off again when it goes.
struct PmemPoisoned : Pmem {
    explicit PmemPoisoned(size_t n = 0) : Pmem(n) { pmem_set_poison(1); }
    ~PmemPoisoned() { pmem_set_poison(0); }
};

// A ceiling never reached: what the exact test costs.
struct PmemLimited : Pmem {
    explicit PmemLimited(size_t n = 0) : Pmem(n) {
        pmem_set_module_mem_limit(SIZE_MAX / 2, kPmemModule);
    }
    ~PmemLimited() { pmem_set_module_mem_limit(0, kPmemModule); }
};

// Injection armed for plexes only: every pmem call asks and is let through.
struct PmemInjectArmed : Pmem {
    explicit PmemInjectArmed(size_t n = 0) : Pmem(n) {
        ap_fail_rule rule = {1, 0, 0, 0, 0, -1, -1, "no such plex", nullptr};
        ap_fail_inject(&rule);
    }
    ~PmemInjectArmed() { ap_fail_inject(nullptr); }
};

struct Statis {
    static constexpr bool general = true;
    int id;
    explicit Statis(size_t = 0) : id(reg_module_id("bench")) {}
    void *alloc(size_t n) { return malloc_with_statis(n, id); }
    void free(void *p, size_t) { free_with_statis(p, id); }
    void *realloc(void *p, size_t, size_t n) { return realloc_with_statis(p, n, id); }
};

struct Plex {
    static constexpr bool general = false;
    auto_plex plex;
    explicit Plex(size_t size) {
        if (auto_plex_init(&plex, size, 0, "bench") != 0) throw std::bad_alloc();
    }
    ~Plex() { auto_plex_clear(&plex); }
    void *alloc(size_t) { return auto_plex_alloc(&plex); }
    void free(void *p, size_t) { auto_plex_free(&plex, p); }
};

// boost::pool<> with unordered free: O(1) both ways.
struct BoostPool {
    static constexpr bool general = false;
    boost::pool<> pool;
    explicit BoostPool(size_t size) : pool(size) {}
    void *alloc(size_t) { return pool.malloc(); }
    void free(void *p, size_t) { pool.free(p); }
};

// boost::object_pool frees in address order (O(free slots) per free), so the
// suite runs it only at the smaller sizes.
struct Obj64 {
    char bytes[64];
};
struct BoostObjectPool {
    static constexpr bool general = false;
    boost::object_pool<Obj64> pool;
    explicit BoostObjectPool(size_t) {}
    void *alloc(size_t) { return pool.malloc(); }
    void free(void *p, size_t) { pool.free(static_cast<Obj64 *>(p)); }
};

struct Pmr {
    static constexpr bool general = false;
    std::pmr::unsynchronized_pool_resource res;
    size_t size;
    explicit Pmr(size_t s) : size(s) {}
    void *alloc(size_t) { return res.allocate(size, 16); }
    void free(void *p, size_t) { res.deallocate(p, size, 16); }
};

}  // namespace bench

#endif
