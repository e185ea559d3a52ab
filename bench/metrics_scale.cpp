// What the machine-readable reports cost as the number of plexes grows: for
// each N, N plexes holding one 64-byte object each, then the wall time of
// ap_metrics_write, ap_history_append and auto_plex_debug_json to files in a
// temporary directory.  Prints one line per N: milliseconds per call (the
// median of the runs, the run count in brackets) and each figure's ratio to
// the first N's, so a writer that is linear shows ratios close to N / N0.
//
//   metrics_scale [--max-seconds S] [--runs R] [--per-name G] [N...]
//
// N defaults to 1000 10000 100000.  --per-name G gives every G consecutive
// plexes one name (default 1: every name distinct), the case of pools made
// per connection under a shared name.  A call is repeated up to R times
// (default 5) while its runs stay within S seconds (default 120); once one
// call takes longer than S, or the growth seen so far predicts it would at
// the next N, the larger N are skipped, so a quadratic writer can be
// measured without running for hours.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ap_monitor.h"
#include "ap_stats.h"
#include "auto_plex.h"

namespace {

struct Options {
    double max_seconds = 120;
    unsigned runs = 5;
    size_t per_name = 1;
    std::vector<size_t> sizes;
};

constexpr int kWriters = 3;
const char *const kWriterNames[kWriters] = {"metrics", "history", "json"};

double now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Timing {
    double median_ms;
    unsigned runs;
};

// Each run starts without the file, so the history measures one append to a
// fresh file rather than one after a growing tail (the append does not read
// the tail, but a fresh file keeps the temporary directory small).
Timing time_writer(int writer, const std::string &path, const Options &opt) {
    std::vector<double> ms;
    double spent = 0;
    while (ms.size() < opt.runs && (ms.empty() || spent < opt.max_seconds * 1e3)) {
        unlink(path.c_str());
        const double t0 = now_ms();
        const int rc = writer == 0   ? ap_metrics_write(path.c_str())
                       : writer == 1 ? ap_history_append(path.c_str(), 0)
                                     : auto_plex_debug_json(path.c_str());
        const double t = now_ms() - t0;
        if (rc != 0) {
            fprintf(stderr, "metrics_scale: the %s write to %s failed\n", kWriterNames[writer],
                    path.c_str());
            exit(1);
        }
        ms.push_back(t);
        spent += t;
    }
    unlink(path.c_str());
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], unsigned(ms.size())};
}

// N plexes named "conn-<i / per_name>", one object out in each; the control
// blocks stay put in one array because the registry links through them.
struct Plexes {
    std::vector<auto_plex> plex;
    std::vector<void *> object;

    bool make(size_t n, size_t per_name) {
        plex.assign(n, auto_plex{});
        object.assign(n, nullptr);
        char name[32];
        for (size_t i = 0; i < n; i++) {
            snprintf(name, sizeof name, "conn-%zu", i / per_name);
            if (auto_plex_init(&plex[i], 64, 0, name) != 0) return false;
            if (!(object[i] = auto_plex_alloc(&plex[i]))) return false;
            memset(object[i], 1, 64);
        }
        return true;
    }

    // Safe on a partly made set: a zero-filled control block clears as a no-op.
    void clear() {
        for (size_t i = 0; i < plex.size(); i++) {
            if (object[i]) auto_plex_free(&plex[i], object[i]);
            auto_plex_clear(&plex[i]);
        }
        std::vector<auto_plex>().swap(plex);
        std::vector<void *>().swap(object);
    }
};

bool parse(int argc, char **argv, Options &opt) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        char *end;
        if (!strcmp(a, "--max-seconds") && i + 1 < argc) {
            opt.max_seconds = strtod(argv[++i], &end);
            if (*end || opt.max_seconds <= 0) return false;
        } else if (!strcmp(a, "--runs") && i + 1 < argc) {
            opt.runs = unsigned(strtoul(argv[++i], &end, 10));
            if (*end || opt.runs == 0) return false;
        } else if (!strcmp(a, "--per-name") && i + 1 < argc) {
            opt.per_name = strtoul(argv[++i], &end, 10);
            if (*end || opt.per_name == 0) return false;
        } else {
            const size_t n = strtoul(a, &end, 10);
            if (*end || n == 0) return false;
            opt.sizes.push_back(n);
        }
    }
    if (opt.sizes.empty()) opt.sizes = {1000, 10000, 100000};
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        fprintf(stderr,
                "usage: metrics_scale [--max-seconds S] [--runs R] [--per-name G] [N...]\n");
        return 2;
    }
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/metrics_scale.XXXXXX";
    if (!mkdtemp(dir.data())) {
        perror("metrics_scale: mkdtemp");
        return 1;
    }
    const std::string path[kWriters] = {dir + "/auto_plex.prom", dir + "/history.jsonl",
                                        dir + "/auto_plex.json"};

    printf(
        "# one 64-byte object per plex, %zu plex(es) per name; ms per call, median of the "
        "runs [runs];\n# x: ratio to the N=%zu figure; cap %g s per call\n",
        opt.per_name, opt.sizes[0], opt.max_seconds);
    printf("%8s %8s %16s %16s %16s %9s %9s %9s\n", "N", "names", "metrics_ms", "history_ms",
           "json_ms", "metrics_x", "history_x", "json_x");
    double base[kWriters] = {}, last[kWriters] = {}, prev[kWriters] = {};
    size_t last_n = 0, prev_n = 0;
    int status = 0;
    for (size_t n : opt.sizes) {
        // The growth seen over the last two sizes, carried to this one.
        double predicted = 0;
        for (int w = 0; w < kWriters; w++)
            predicted = std::max(predicted, last[w]);
        for (int w = 0; last_n && w < kWriters; w++) {
            const double k = prev_n && prev[w] > 0 && last[w] > 0 && last_n != prev_n
                                 ? log(last[w] / prev[w]) / log(double(last_n) / double(prev_n))
                                 : 1;
            predicted = std::max(predicted, last[w] * pow(double(n) / double(last_n), k));
        }
        if (predicted > opt.max_seconds * 1e3) {
            printf("%8zu skipped: a call would take about %.0f s\n", n, predicted / 1e3);
            continue;
        }
        Plexes plexes;
        if (!plexes.make(n, opt.per_name)) {
            fprintf(stderr, "metrics_scale: no memory for %zu plexes\n", n);
            plexes.clear();
            status = 1;
            break;
        }
        Timing t[kWriters];
        for (int w = 0; w < kWriters; w++)
            t[w] = time_writer(w, path[w], opt);
        plexes.clear();

        char cell[kWriters][32];
        for (int w = 0; w < kWriters; w++) {
            snprintf(cell[w], sizeof cell[w], "%.2f [%u]", t[w].median_ms, t[w].runs);
            if (base[w] <= 0) base[w] = std::max(t[w].median_ms, 1e-3);
            prev[w] = last[w];
            last[w] = t[w].median_ms;
        }
        prev_n = last_n;
        last_n = n;
        printf("%8zu %8zu %16s %16s %16s %9.1f %9.1f %9.1f\n", n,
               (n + opt.per_name - 1) / opt.per_name, cell[0], cell[1], cell[2], last[0] / base[0],
               last[1] / base[1], last[2] / base[2]);
        fflush(stdout);
    }
    rmdir(dir.c_str());
    return status;
}
