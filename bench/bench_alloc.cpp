// Time per operation of each backend on each workload and live-set size.
// Names are workload/backend/N; bench/run.py turns them into ratios against
// the process's malloc measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backends.h"
#include "workloads.h"

namespace {

using namespace bench;

constexpr size_t kFixedSize = 64;

template <class B>
void touch(void *p) {
    *static_cast<volatile char *>(p) = 1;
}

// Allocate N, then free them newest first (lifo) or oldest first (fifo).
template <class B, bool kLifo>
void bm_stack_or_queue(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    B b(kFixedSize);
    std::vector<void *> live(n);
    for (auto _ : state) {
        for (size_t i = 0; i < n; i++)
            touch<B>(live[i] = b.alloc(kFixedSize));
        if (kLifo)
            for (size_t i = n; i-- > 0;)
                b.free(live[i], kFixedSize);
        else
            for (size_t i = 0; i < n; i++)
                b.free(live[i], kFixedSize);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * n));
}

// N live objects; each step frees a random one and allocates a replacement.
template <class B, bool kMixed>
void bm_churn(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    B b(kFixedSize);
    Rng rng(n);
    auto size_of = [&rng] { return kMixed ? mixed_size(rng) : kFixedSize; };
    std::vector<Live> live;
    fill(b, live, n, size_of);
    for (auto _ : state)
        churn_step(b, live, rng, size_of);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2));
    drain(b, live);
}

// N objects grown round-robin from 16 bytes by half their size up to 16 KiB.
template <class B>
void bm_realloc(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    B b;
    std::vector<Live> live(n);
    int64_t ops = 0;
    for (auto _ : state) {
        live.resize(n);  // drain() leaves it empty
        for (auto &o : live)
            o = {b.alloc(16), 16};
        for (size_t size = 24; size <= 16384; size += size / 2) {
            for (auto &o : live) {
                o.p = b.realloc(o.p, o.size, size);
                o.size = size;
                touch<B>(o.p);
            }
            ops += static_cast<int64_t>(n);
        }
        drain(b, live);
    }
    state.SetItemsProcessed(ops);
}

template <class B>
void add_fixed(const char *name, int64_t max_n) {
    for (int64_t n = 1000; n <= max_n; n *= 10) {
        benchmark::RegisterBenchmark(("lifo/" + std::string(name)).c_str(),
                                     bm_stack_or_queue<B, true>)
            ->Arg(n)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("fifo/" + std::string(name)).c_str(),
                                     bm_stack_or_queue<B, false>)
            ->Arg(n)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("churn/" + std::string(name)).c_str(), bm_churn<B, false>)
            ->Arg(n)
            ->MinTime(0.2);
    }
}

template <class B>
void add_general(const char *name, int64_t max_n) {
    add_fixed<B>(name, max_n);
    for (int64_t n = 1000; n <= max_n; n *= 10) {
        benchmark::RegisterBenchmark(("mixed/" + std::string(name)).c_str(), bm_churn<B, true>)
            ->Arg(n)
            ->MinTime(0.2);
        if (n <= 10000)  // 10^5 objects grown to 16 KiB would hold 1.6 GiB
            benchmark::RegisterBenchmark(("realloc/" + std::string(name)).c_str(), bm_realloc<B>)
                ->Arg(n)
                ->MinTime(0.2);
    }
}

}  // namespace

int main(int argc, char **argv) {
    // AUTO_PLEX_BENCH_MAX_N raises the largest live set (10^7 needs ~2 GiB).
    const char *env = getenv("AUTO_PLEX_BENCH_MAX_N");
    int64_t max_n = env ? atoll(env) : 1000000;
    add_general<Malloc>("malloc", max_n);
    add_general<Pmem>("pmem", max_n);
    add_general<Statis>("statis", max_n);
    add_fixed<Plex>("auto_plex", max_n);
    add_fixed<BoostPool>("boost_pool", max_n);
    add_fixed<BoostObjectPool>("boost_object_pool", 10000);
    add_fixed<Pmr>("pmr_pool", max_n);
    // What pmem's controls cost while on (off, they are the pmem rows).
    add_fixed<PmemPoisoned>("pmem_poison", std::min<int64_t>(max_n, 100000));
    add_fixed<PmemLimited>("pmem_limit", std::min<int64_t>(max_n, 100000));
    add_fixed<PmemInjectArmed>("pmem_inject_armed", std::min<int64_t>(max_n, 100000));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
