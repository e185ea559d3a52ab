// Workloads shared by the timing suite and the memory probe.  Every one is
// deterministic (fixed-seed generator) so that backends see the same
// sequence of requests.
#ifndef AUTO_PLEX_BENCH_WORKLOADS_H
#define AUTO_PLEX_BENCH_WORKLOADS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace bench {

// xorshift64*: cheap enough not to dominate a 10 ns operation.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull | 1) {}
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// A small-object mix: mostly 16-256 bytes, some up to 8 KiB, rarely up to
// 64 KiB.
inline size_t mixed_size(Rng &rng) {
    uint64_t r = rng.below(1000);
    if (r < 800) return 16 + rng.below(241);
    if (r < 990) return 257 + rng.below(8192 - 256);
    return 8193 + rng.below(65536 - 8192);
}

struct Live {
    void *p;
    size_t size;
};

// Fills `live` with n objects of the sizes `size_of` draws.
template <class B, class SizeOf>
void fill(B &b, std::vector<Live> &live, size_t n, SizeOf size_of) {
    live.resize(n);
    for (auto &o : live) {
        o.size = size_of();
        o.p = b.alloc(o.size);
        *static_cast<volatile char *>(o.p) = 1;  // a real host writes what it gets
    }
}

template <class B>
void drain(B &b, std::vector<Live> &live) {
    for (auto &o : live)
        b.free(o.p, o.size);
    live.clear();
}

// One churn step: free a random live object, allocate a replacement.
template <class B, class SizeOf>
void churn_step(B &b, std::vector<Live> &live, Rng &rng, SizeOf size_of) {
    Live &o = live[rng.below(live.size())];
    b.free(o.p, o.size);
    o.size = size_of();
    o.p = b.alloc(o.size);
    *static_cast<volatile char *>(o.p) = 1;
}

}  // namespace bench

#endif
