// Differential fuzzing: an input is decoded into a sequence of operations on
// several pools (and "the next system allocation fails" events); after every
// operation the library is compared with the reference model, and any
// difference aborts with a description.
//
// Built two ways: with clang's libFuzzer (-DAUTO_PLEX_FUZZ=ON), and as a
// plain program that replays files and a fixed-seed stream of random inputs,
// which is how the ordinary test suite runs it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "auto_plex.h"
#include "fault.h"
#include "plex_model.h"

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
};

struct Shape {
    uint64_t item, max;
};
// Small blocks so that short inputs cross block boundaries, tiny and odd
// slots, bounded plexes with one and with several records.
constexpr Shape kShapes[] = {{1024, 0}, {12, 0}, {1024, 700}, {48, 300}, {4000, 0}, {3, 0}};
constexpr int kPlexes = sizeof kShapes / sizeof kShapes[0];

struct PoolUnderTest {
    auto_plex plex;
    model::PlexModel *model = nullptr;
    std::vector<unsigned char *> live;
    uint64_t fill;
};

void fill_slot(PoolUnderTest &t, unsigned char *p) {
    memset(p, static_cast<int>(reinterpret_cast<uintptr_t>(p) >> 3 & 0xff), t.fill);
}

void check_slot(PoolUnderTest &t, unsigned char *p) {
    unsigned char tag = reinterpret_cast<uintptr_t>(p) >> 3 & 0xff;
    for (uint64_t i = 0; i < t.fill; i++)
        if (p[i] != tag) {
            fprintf(stderr, "live slot %p overwritten at byte %llu\n", static_cast<void *>(p),
                    static_cast<unsigned long long>(i));
            abort();
        }
}

void plex_alloc(PoolUnderTest &t, int fail_at) {
    if (fail_at) ap_fault::fail_nth(fail_at);
    auto *p = static_cast<unsigned char *>(auto_plex_alloc(&t.plex));
    ap_fault::fail_nth(0);
    expect("alloc", t.model->alloc(t.plex, p, fail_at));
    if (p) {
        fill_slot(t, p);
        t.live.push_back(p);
    }
}

void plex_free(PoolUnderTest &t, size_t pick) {
    if (t.live.empty()) return;
    size_t i = pick % t.live.size();
    unsigned char *p = t.live[i];
    check_slot(t, p);
    t.live[i] = t.live.back();
    t.live.pop_back();
    auto_plex_free(&t.plex, p);
    t.model->free(p);
}

void run_one(const uint8_t *data, size_t size) {
    long live_before = ap_fault::live();
    PoolUnderTest pools[kPlexes];
    model::PlexModel *models[kPlexes];
    for (int i = 0; i < kPlexes; i++) {
        if (auto_plex_init(&pools[i].plex, kShapes[i].item, kShapes[i].max, "fuzz") != 0) abort();
        models[i] = new model::PlexModel(pools[i].plex);
        pools[i].model = models[i];
        pools[i].fill = kShapes[i].item;
    }

    Input in{data, size};
    int fail_next = 0;
    while (in.more()) {
        uint8_t op = in.byte();
        PoolUnderTest &t = pools[(op >> 4) % kPlexes];
        switch (op & 0xf) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
                plex_alloc(t, fail_next);
                break;
            case 5:
            case 6:
            case 7:
            case 8:
                plex_free(t, in.word());
                break;
            case 9: {  // a burst, to reach block boundaries with short inputs
                int n = 1 + in.byte() % 128;
                for (int k = 0; k < n; k++)
                    plex_alloc(t, 0);
                break;
            }
            case 10: {
                int n = 1 + in.byte() % 128;
                for (int k = 0; k < n; k++)
                    plex_free(t, in.word() ^ static_cast<unsigned>(k) * 7919);
                break;
            }
            case 11:
                fail_next = 1 + (op >> 4) % 2;
                continue;  // applies to the next operation
            default:
                break;
        }
        fail_next = 0;
        g_operations++;
        expect("operation", t.model->matches(t.plex));
    }

    // The registry lists exactly these plexes, newest first.
    const auto_plex_link *l = plex_registry.next;
    for (int i = kPlexes - 1; i >= 0; i--, l = l->next)
        if (l != &pools[i].plex.plex_link) mismatch("registry walk", ::testing::AssertionFailure());
    if (l != &plex_registry) mismatch("registry end", ::testing::AssertionFailure());

    for (int i = 0; i < kPlexes; i++) {
        while (!pools[i].live.empty())
            plex_free(pools[i], 0);
        expect("drain", models[i]->matches(pools[i].plex));
        auto_plex_clear(&pools[i].plex);
        delete models[i];
    }
    if (ap_fault::live() != live_before) {
        fprintf(stderr, "leak: %ld system blocks outstanding\n", ap_fault::live() - live_before);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    run_one(data, size);
    return 0;
}

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
