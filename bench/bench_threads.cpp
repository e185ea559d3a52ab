// Aggregate throughput of auto_plex, pmem and malloc on several threads.
// Each thread keeps a window of live objects and replaces a pseudo-random one
// per step (an op: one allocation and one release), in three scenarios:
//   own pool      each thread its own pool: an auto_plex of 64-byte items
//                 each; pmem and malloc sizes 24, 200, 700 and 3000 by
//                 thread, so up to 4 pmem threads share no size class;
//   shared pool   one pool for all: one auto_plex, pmem and malloc size 64;
//   cross-thread  the pools of "own pool", but every replaced object travels
//                 through a ring to the next thread, which releases it.
// Every object carries a stamp that is checked at its release, so a slot
// handed out twice aborts the run: the rows with more threads than cores are
// there for that check, not for their rates.
//
// Before the process has ever had a second thread (glibc's
// __libc_single_threaded is set, and the library and glibc skip their locks)
// one thread is timed alone, then again beside an idle thread.
//
// pmem charges every thread's objects to one module, as a host's module
// would; --module-per-thread charges each thread to its own, 8 ids apart, so
// that what the library keeps per module in arrays of 8-byte counters lies on
// different cache lines too.
//
//   bench_threads [--alloc auto_plex,pmem,malloc] [--threads 1,2,4,8]
//                 [--runs 3] [--seconds 0.4] [--module-per-thread]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auto_plex.h"
#include "pmem.h"

namespace {

enum kind { k_plex, k_pmem, k_malloc, k_count };
const char *const kind_names[] = {"auto_plex", "pmem", "malloc"};
enum layout { own, shared, cross, layout_count };
const char *const layout_names[] = {"own pool", "shared pool", "cross-thread"};

constexpr size_t kWindow = 1000;
constexpr size_t kOwnSizes[] = {24, 200, 700, 3000};
constexpr size_t kSharedSize = 64;
constexpr uint16_t kModule = 1;
bool g_module_per_thread;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "bench_threads: %s\n", what);
    abort();
}

uint64_t xorshift(uint64_t s) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return s;
}

struct pool {
    size_t size;  // pmem and malloc; the plex's items are kSharedSize bytes
    auto_plex *plex;
    uint16_t mid;  // pmem
};

// A live object and the stamp written into its first bytes.
struct item {
    void *p;
    uint64_t stamp;
};

template <kind K>
item fresh(const pool &p, uint64_t stamp) {
    void *o;
    if constexpr (K == k_plex)
        o = auto_plex_alloc(p.plex);
    else if constexpr (K == k_pmem)
        o = pmem_malloc(p.mid, p.size);
    else
        o = malloc(p.size);
    if (!o) die("out of memory");
    *static_cast<uint64_t *>(o) = stamp;
    return {o, stamp};
}

template <kind K>
void release(const pool &p, item it) {
    if (*static_cast<uint64_t *>(it.p) != it.stamp) die("a live object was overwritten");
    if constexpr (K == k_plex)
        auto_plex_free(p.plex, it.p);
    else if constexpr (K == k_pmem)
        pmem_free(it.p);
    else
        free(it.p);
}

// One producer (owns tail), one consumer (owns head), each index on its own
// cache line so that neither side's stores evict the other's.
struct ring {
    static constexpr uint32_t kCap = 1024;
    alignas(64) std::atomic<uint32_t> head{0};
    alignas(64) std::atomic<uint32_t> tail{0};
    std::atomic<bool> closed{false};  // no more pushes
    alignas(64) item slots[kCap];

    bool push(item it) {
        uint32_t t = tail.load(std::memory_order_relaxed);
        if (t - head.load(std::memory_order_acquire) == kCap) return false;
        slots[t % kCap] = it;
        tail.store(t + 1, std::memory_order_release);
        return true;
    }
    template <class F>
    void drain(F &&f) {
        uint32_t h = head.load(std::memory_order_relaxed);
        for (uint32_t t = tail.load(std::memory_order_acquire); h != t; h++)
            f(slots[h % kCap]);
        head.store(h, std::memory_order_release);
    }
};

// The last thread to arrive starts the clock, so that filling the windows
// is not timed.
struct gate {
    int threads;
    double seconds;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    double start = 0;

    void pass() {
        if (ready.fetch_add(1) + 1 == threads) {
            start = now();
            go.store(true, std::memory_order_release);
        }
        while (!go.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
};

struct worker {
    pool own;
    const pool *up;  // cross-thread: the pool of the thread that fills `in`
    ring *in, *out;
    uint64_t seed;
    uint64_t ops = 0;
    double end = 0;
};

template <kind K>
void work(worker &w, layout lay, gate &g) {
    std::vector<item> live(kWindow);
    uint64_t s = w.seed;
    for (item &it : live)
        it = fresh<K>(w.own, s = xorshift(s));
    auto drain = [&] { w.in->drain([&](item it) { release<K>(*w.up, it); }); };
    g.pass();
    const double deadline = g.start + g.seconds;
    uint64_t ops = 0;
    for (;; ops++) {
        if (ops % 256 == 0 && now() >= deadline) break;
        s = xorshift(s);
        item &it = live[(s >> 32) * kWindow >> 32];
        if (lay != cross) {
            release<K>(w.own, it);
        } else {
            while (!w.out->push(it)) {
                drain();
                std::this_thread::yield();
            }
            if (ops % 64 == 0) drain();
        }
        it = fresh<K>(w.own, s);
    }
    w.end = now();
    w.ops = ops;
    for (item &it : live)
        release<K>(w.own, it);
    if (lay != cross) return;
    // Whatever the upstream thread pushed before closing is still to release.
    w.out->closed.store(true, std::memory_order_release);
    for (bool closed = false; !closed; std::this_thread::yield()) {
        closed = w.in->closed.load(std::memory_order_acquire);
        drain();
    }
}

// Mops/s of `threads` workers; `here` runs the single worker on the calling
// thread instead of starting one.
double measure(kind k, layout lay, int threads, double seconds, bool here = false) {
    const int n = threads;
    std::vector<auto_plex> plexes(lay == shared ? 1 : n);
    for (auto_plex &p : plexes)
        if (auto_plex_init(&p, kSharedSize, 0, "bench_threads") != 0) die("auto_plex_init");
    std::vector<pool> pools(n);
    std::vector<std::unique_ptr<ring>> rings(lay == cross ? n : 0);
    for (int t = 0; t < n; t++) {
        pools[t] = {lay == shared ? kSharedSize : kOwnSizes[t % 4], &plexes[lay == shared ? 0 : t],
                    static_cast<uint16_t>(g_module_per_thread ? kModule + 8 * t % 120 : kModule)};
        if (lay == cross) rings[t] = std::make_unique<ring>();
    }
    std::vector<worker> ws(n);
    for (int t = 0; t < n; t++) {
        ws[t] = {pools[t], &pools[(t + n - 1) % n], lay == cross ? rings[t].get() : nullptr,
                 lay == cross ? rings[(t + 1) % n].get() : nullptr,
                 0x9e3779b97f4a7c15ull * static_cast<uint64_t>(t + 1)};
    }
    gate g{n, seconds};
    auto body = [&](int t) {
        if (k == k_plex) work<k_plex>(ws[t], lay, g);
        if (k == k_pmem) work<k_pmem>(ws[t], lay, g);
        if (k == k_malloc) work<k_malloc>(ws[t], lay, g);
    };
    if (here) {
        body(0);
    } else {
        std::vector<std::thread> ts;
        for (int t = 0; t < n; t++)
            ts.emplace_back(body, t);
        for (std::thread &t : ts)
            t.join();
    }
    uint64_t ops = 0;
    double end = 0;
    for (const worker &w : ws)
        ops += w.ops, end = std::max(end, w.end);
    for (auto_plex &p : plexes)
        auto_plex_clear(&p);
    return static_cast<double>(ops) / (end - g.start) / 1e6;
}

// Exists and waits: the process is multi-threaded, nothing contends.
struct idle_thread {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread t{[this] {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [this] { return stop; });
    }};
    ~idle_thread() {
        {
            std::lock_guard<std::mutex> l(m);
            stop = true;
        }
        cv.notify_one();
        t.join();
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::vector<std::string> split(const char *s) {
    std::vector<std::string> out;
    for (const char *c; (c = strchr(s, ',')); s = c + 1)
        out.emplace_back(s, c);
    out.emplace_back(s);
    return out;
}

void ratio(double a, double b) {
    if (a > 0 && b > 0)
        printf(" %.2f |", a / b);
    else
        printf(" - |");
}

}  // namespace

int main(int argc, char **argv) {
    bool use[k_count] = {true, true, true};
    std::vector<int> counts = {1, 2, 4, 8};
    int runs = 3;
    double seconds = 0.4;
    bool bad = false;
    for (int i = 1; !bad && i < argc; i += 2) {
        if (!strcmp(argv[i], "--module-per-thread")) {
            g_module_per_thread = true;
            i--;
        } else if (i + 1 == argc) {
            bad = true;
        } else if (!strcmp(argv[i], "--alloc")) {
            std::fill(use, use + k_count, false);
            for (const std::string &a : split(argv[i + 1]))
                for (int k = 0; k < k_count; k++)
                    use[k] |= a == kind_names[k];
        } else if (!strcmp(argv[i], "--threads")) {
            counts.clear();
            for (const std::string &a : split(argv[i + 1]))
                counts.push_back(atoi(a.c_str()));
        } else if (!strcmp(argv[i], "--runs")) {
            runs = atoi(argv[i + 1]);
        } else if (!strcmp(argv[i], "--seconds")) {
            seconds = atof(argv[i + 1]);
        } else {
            bad = true;
        }
    }
    if (bad || runs < 1 || seconds <= 0 || counts.empty() ||
        std::find_if(counts.begin(), counts.end(), [](int c) { return c < 1; }) != counts.end()) {
        fprintf(stderr,
                "usage: bench_threads [--alloc auto_plex,pmem,malloc] [--threads 1,2,4,8] "
                "[--runs 3] [--seconds 0.4] [--module-per-thread]\n");
        return 2;
    }
    pmem_init();

    // One thread: first with no other thread ever started (glibc never
    // clears the single-threaded flag again), then beside an idle thread.
    // A first pass warms the pools and the heap for both.
    double alone[k_count] = {}, beside[k_count] = {};
    std::vector<double> v[k_count];
    for (int r = -1; r < runs; r++)
        for (int k = 0; k < k_count; k++)
            if (use[k]) {
                double m = measure(kind(k), shared, 1, seconds, true);
                if (r >= 0) v[k].push_back(m);
            }
    for (int k = 0; k < k_count; k++)
        if (use[k]) alone[k] = median(v[k]), v[k].clear();
    {
        idle_thread idle;
        for (int r = 0; r < runs; r++)
            for (int k = 0; k < k_count; k++)
                if (use[k]) v[k].push_back(measure(kind(k), shared, 1, seconds, true));
    }
    for (int k = 0; k < k_count; k++)
        if (use[k]) beside[k] = median(v[k]);

    // Runs interleave the allocators so that drift on a shared machine
    // spreads over all of them.
    std::vector<double> rate(layout_count * counts.size() * k_count);
    auto at = [&](int lay, size_t c, int k) -> double & {
        return rate[(lay * counts.size() + c) * k_count + k];
    };
    for (int lay = 0; lay < layout_count; lay++)
        for (size_t c = 0; c < counts.size(); c++) {
            for (int r = 0; r < runs; r++)
                for (int k = 0; k < k_count; k++)
                    if (use[k]) v[k].push_back(measure(kind(k), layout(lay), counts[c], seconds));
            for (int k = 0; k < k_count; k++)
                if (use[k]) at(lay, c, k) = median(v[k]), v[k].clear();
        }

    const unsigned cores = std::thread::hardware_concurrency();
    const char *preload = getenv("LD_PRELOAD");
    printf(
        "%zu live objects per thread; op = one allocation + one release; median of %d runs "
        "of %.2f s\n",
        kWindow, runs, seconds);
    printf("malloc: %s\n", preload && *preload ? preload : "glibc's");
    printf("pmem: %s\n", g_module_per_thread ? "each thread charged to its own module"
                                             : "every thread charged to module 1");
    printf(
        "%u cores: rows with more threads than cores are run to check that no object is "
        "handed out twice; their rates are not measurements\n\n",
        cores);
    printf(
        "| one thread, shared pool | Mops/s alone in the process | Mops/s beside an idle "
        "thread | beside / alone |\n|---|---|---|---|\n");
    for (int k = 0; k < k_count; k++)
        if (use[k]) {
            printf("| %s | %.1f | %.1f |", kind_names[k], alone[k], beside[k]);
            ratio(beside[k], alone[k]);
            printf("\n");
        }
    printf(
        "\n| scenario | threads | allocator | Mops/s | vs malloc | vs 1 thread |\n"
        "|---|---|---|---|---|---|\n");
    for (int lay = 0; lay < layout_count; lay++)
        for (size_t c = 0; c < counts.size(); c++)
            for (int k = 0; k < k_count; k++)
                if (use[k]) {
                    printf("| %s | %d%s | %s | %.1f |", layout_names[lay], counts[c],
                           counts[c] > static_cast<int>(cores) ? " (check)" : "", kind_names[k],
                           at(lay, c, k));
                    ratio(at(lay, c, k), use[k_malloc] ? at(lay, c, k_malloc) : 0);
                    ratio(at(lay, c, k), counts[0] == 1 ? at(lay, 0, k) : 0);
                    printf("\n");
                }
    return 0;
}
