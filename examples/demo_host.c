/* demo_host: a small host process of several modules, wired to libauto_plex
 * the way a real host would be.
 *
 *   sessions  session records in its own bounded pool (auto_plex); the load
 *             swings past the bound now and then, so some opens are refused
 *   net_rx    packet buffers through pmem, queued and freed in arrival order;
 *             a few jumbo frames are too big for the pools
 *   config    a table of strings, rewritten with pmem_strdup / pmem_strndup
 *   parser    message buffers grown with pmem_realloc, then dropped
 *   timers    zeroed timer records (pmem_calloc) armed and fired at random
 *   cache     accounted system-allocator blocks under an 8 MiB limit, which it
 *             keeps running into and answers by evicting its oldest entries
 *   journal   accounted blocks without a limit, holding a few MiB
 *
 * A few times a second the host samples the library's figures into a
 * history file, as a long-running host would from its own timer.  After
 * --seconds of such traffic the three callback reports go through the
 * host's logging function to the terminal, and --out receives the three file
 * reports, the live-allocation report, the Prometheus metrics (in metrics/,
 * where node_exporter's textfile collector can read them) and the history
 * with its page (tools/ap_history_view.py).  Everything is then released,
 * except the config table, which a host often leaves to the process's end:
 * the leak list at exit shows it.
 *
 * The host starts with a settings text (--settings, the same text as
 * AUTO_PLEX_CONF) that fails a few of the parser's resizes on purpose, as a
 * host would test its out-of-memory paths, and asks for the leak list. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "ap_monitor.h"
#include "ap_settings.h"
#include "auto_plex.h"
#include "malloc_statis.h"
#include "pmem.h"

/* The pmem module ids this host names in pmem_modules.def. */
enum { MID_NET_RX = 1, MID_CONFIG = 2, MID_PARSER = 3, MID_TIMERS = 4 };

/* ---- options ------------------------------------------------------------ */

struct options {
    double seconds;
    uint64_t seed;
    const char *out;
    int full; /* print every report line, idle modules included */
    const char *settings;
};

/* Every 1000th pmem call of the parser fails, five times in all; the leak
 * list goes to stderr at exit. */
#define DEMO_SETTINGS "fail_pmem_module=parser,fail_every=1000,fail_times=5,leak_report=stderr"

static void usage(FILE *to) {
    fprintf(to,
            "usage: demo_host [--seconds S] [--seed N] [--out DIR] [--full] [--settings TEXT]\n"
            "  --seconds S  run S seconds of traffic (default 3)\n"
            "  --seed N     seed of the traffic (default 1)\n"
            "  --out DIR    folder for the file reports (default ./reports)\n"
            "  --full       print every line of the callback reports\n"
            "  --settings TEXT  the library's settings (default \"" DEMO_SETTINGS "\")\n");
}

static int parse_options(int argc, char **argv, struct options *o) {
    o->seconds = 3.0;
    o->seed = 1;
    o->out = "./reports";
    o->full = 0;
    o->settings = DEMO_SETTINGS;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        char *end = NULL;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            usage(stdout);
            exit(0);
        } else if (strcmp(a, "--full") == 0) {
            o->full = 1;
        } else if (strcmp(a, "--seconds") == 0 && v) {
            o->seconds = strtod(v, &end);
            if (*end || !(o->seconds >= 0 && o->seconds <= 86400)) return -1;
            i++;
        } else if (strcmp(a, "--seed") == 0 && v) {
            o->seed = strtoull(v, &end, 0);
            if (*end) return -1;
            i++;
        } else if (strcmp(a, "--settings") == 0 && v) {
            o->settings = v;
            i++;
        } else if (strcmp(a, "--out") == 0 && v && *v) {
            o->out = v;
            i++;
        } else {
            return -1;
        }
    }
    return 0;
}

/* ---- helpers ------------------------------------------------------------ */

static uint64_t s_rng;

/* xorshift64*: the same seed gives the same traffic. */
static uint64_t rnd(void) {
    s_rng ^= s_rng >> 12;
    s_rng ^= s_rng << 25;
    s_rng ^= s_rng >> 27;
    return s_rng * 0x2545F4914F6CDD1DULL;
}

static unsigned below(unsigned n) {
    return (unsigned)(rnd() % n);
}

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

/* ---- sessions: its own bounded pool ------------------------------------- */

enum { MAX_SESSIONS = 20000 };

struct session {
    uint64_t id;
    char user[24];
    uint32_t requests;
    double opened_at;
};

static auto_plex s_session_pool; /* the host owns the control block */
static struct session *s_sessions[MAX_SESSIONS];
static unsigned s_session_n;
static uint64_t s_sessions_opened, s_sessions_refused;

/* The wanted number of open sessions rises and falls with the load and at
 * its peak asks for more than the pool allows. */
static void sessions_step(unsigned wanted, double t) {
    if (s_session_n < wanted && below(8) != 0) {
        struct session *s = auto_plex_alloc(&s_session_pool);
        if (!s) { /* full: the host turns the client away */
            s_sessions_refused++;
            return;
        }
        s->id = ++s_sessions_opened;
        snprintf(s->user, sizeof s->user, "user%llu", (unsigned long long)(s->id % 100000));
        s->requests = 0;
        s->opened_at = t;
        if (s_session_n < MAX_SESSIONS) {
            s_sessions[s_session_n++] = s;
        } else {
            auto_plex_free(&s_session_pool, s);
        }
    } else if (s_session_n > 0) {
        unsigned i = below(s_session_n);
        if (below(4) == 0) {
            auto_plex_free(&s_session_pool, s_sessions[i]);
            s_sessions[i] = s_sessions[--s_session_n];
        } else {
            s_sessions[i]->requests++;
        }
    }
}

/* ---- net_rx: packet buffers in arrival order ---------------------------- */

enum { RX_RING = 4096 };
static void *s_rx[RX_RING];
static unsigned s_rx_head, s_rx_n;

static size_t packet_size(void) {
    unsigned r = below(100);
    if (r < 60) return 60 + below(200);   /* acks and small requests */
    if (r < 97) return 256 + below(1245); /* up to a full Ethernet frame */
    return 9000;                          /* jumbo: beyond the pools */
}

static void net_rx_step(unsigned backlog) {
    if (s_rx_n < backlog && s_rx_n < RX_RING) {
        size_t size = packet_size();
        unsigned char *p = pmem_malloc(MID_NET_RX, size);
        if (!p) return;
        memset(p, 0xab, size < 64 ? size : 64); /* the header a driver would write */
        s_rx[(s_rx_head + s_rx_n++) % RX_RING] = p;
    } else if (s_rx_n > 0) {
        pmem_free(s_rx[s_rx_head]);
        s_rx_head = (s_rx_head + 1) % RX_RING;
        s_rx_n--;
    }
}

/* ---- config: a table of strings ----------------------------------------- */

enum { CONFIG_KEYS = 512 };
static char *s_config[CONFIG_KEYS];

static void config_step(void) {
    unsigned k = below(CONFIG_KEYS);
    char text[256];
    int len = snprintf(text, sizeof text, "key%u=", k);
    unsigned value_len = 1 + below(below(8) == 0 ? 200 : 40);
    for (unsigned i = 0; i < value_len && len < (int)sizeof text - 1; i++)
        text[len++] = (char)('a' + below(26));
    text[len] = '\0';
    char *copy = below(4) == 0 ? pmem_strndup(MID_CONFIG, text, (size_t)len / 2 + 1)
                               : pmem_strdup(MID_CONFIG, text);
    if (!copy) return;
    pmem_free(s_config[k]);
    s_config[k] = copy;
}

/* ---- parser: buffers that grow by realloc ------------------------------- */

enum { PARSERS = 64 };
struct message {
    char *buf;
    size_t len, cap;
};
static struct message s_messages[PARSERS];
static uint64_t s_parser_refused; /* resizes refused: the message keeps its buffer */

static void parser_step(void) {
    struct message *m = &s_messages[below(PARSERS)];
    size_t chunk = 1 + below(300);
    if (m->len + chunk > m->cap) {
        size_t cap = m->cap ? m->cap * 2 : 32;
        while (cap < m->len + chunk)
            cap *= 2;
        char *grown = pmem_realloc(MID_PARSER, m->buf, cap);
        if (!grown) {
            s_parser_refused++;
            return;
        }
        m->buf = grown;
        m->cap = cap;
    }
    memset(m->buf + m->len, 'x', chunk);
    m->len += chunk;
    if (m->len > 6000 || below(50) == 0) { /* message complete: hand it on, drop it */
        pmem_free(m->buf);
        memset(m, 0, sizeof *m);
    } else if (below(20) == 0 && m->cap > 2 * m->len) { /* shrink to fit */
        char *fit = pmem_realloc(MID_PARSER, m->buf, m->len);
        if (fit) {
            m->buf = fit;
            m->cap = m->len;
        }
    }
}

/* ---- timers: zeroed records on a wheel ---------------------------------- */

enum { WHEEL = 2048 };
struct timer {
    uint64_t expires;
    void (*fire)(void *);
    void *arg;
    uint32_t period_ms;
    uint32_t flags;
};
static struct timer *s_wheel[WHEEL];

static void timers_step(uint64_t tick) {
    unsigned slot = below(WHEEL);
    if (s_wheel[slot]) {
        pmem_free(s_wheel[slot]); /* fired */
        s_wheel[slot] = NULL;
    } else {
        struct timer *t = pmem_calloc(MID_TIMERS, 1, sizeof *t);
        if (!t) return;
        t->expires = tick + 1 + below(1000);
        t->period_ms = 10 * (1 + below(100));
        s_wheel[slot] = t;
    }
}

/* ---- cache: accounted blocks under a byte limit ------------------------- */

enum { CACHE_ENTRIES = 4096, CACHE_LIMIT = 8 << 20 };
struct cache_entry {
    void *data;
    size_t size;
};
static int s_cache_id = -1;
static struct cache_entry s_cache[CACHE_ENTRIES];
static unsigned s_cache_head, s_cache_n;
static uint64_t s_cache_inserts, s_cache_refused;

static void cache_evict_oldest(void) {
    struct cache_entry *e = &s_cache[s_cache_head];
    free_with_statis(e->data, s_cache_id);
    e->data = NULL;
    s_cache_head = (s_cache_head + 1) % CACHE_ENTRIES;
    s_cache_n--;
}

static void cache_step(void) {
    if (s_cache_n > 0 && below(10) == 0) { /* an entry is refreshed with a larger value */
        struct cache_entry *e = &s_cache[(s_cache_head + below(s_cache_n)) % CACHE_ENTRIES];
        size_t size = e->size + 1024 + below(4096);
        void *grown = realloc_with_statis(e->data, size, s_cache_id);
        if (grown) {
            e->data = grown;
            e->size = size;
        } else {
            s_cache_refused++; /* the old value stays cached */
        }
        return;
    }
    if (s_cache_n == CACHE_ENTRIES) cache_evict_oldest();
    size_t size = below(4) == 0 ? 8192 + below(24576) : 512 + below(4096);
    void *data = malloc_with_statis(size, s_cache_id);
    if (!data) {
        /* Over the limit: make room for next time. */
        s_cache_refused++;
        for (int i = 0; i < 16 && s_cache_n > 0; i++)
            cache_evict_oldest();
        return;
    }
    memset(data, 0, size < 128 ? size : 128);
    s_cache[(s_cache_head + s_cache_n++) % CACHE_ENTRIES] = (struct cache_entry){data, size};
    s_cache_inserts++;
}

/* ---- journal: accounted blocks, no limit -------------------------------- */

enum { JOURNAL_PAGES = 768, JOURNAL_PAGE = 4096 };
static int s_journal_id = -1;
static void *s_journal[JOURNAL_PAGES];
static unsigned s_journal_n;

static void journal_step(void) {
    if (s_journal_n == JOURNAL_PAGES) { /* rotate: drop the older half */
        for (unsigned i = 0; i < JOURNAL_PAGES / 2; i++)
            free_with_statis(s_journal[i], s_journal_id);
        memmove(s_journal, s_journal + JOURNAL_PAGES / 2, sizeof(void *) * (JOURNAL_PAGES / 2));
        s_journal_n = JOURNAL_PAGES / 2;
    }
    void *page = calloc_with_statis(1, JOURNAL_PAGE, s_journal_id);
    if (page) s_journal[s_journal_n++] = page;
}

/* ---- the host's logging function ---------------------------------------- */

/* Call-site numbers of the pmem callback report (part of its interface). */
enum { PMEM_RT_MODULE_ROW = 378, PMEM_RT_MODULE_POOL_ROW = 384 };

static int s_log_full;
static int s_module_idle; /* the last pmem module row showed no traffic */
static unsigned s_module_pool;

/* Like most log sinks, every call becomes one record, so a fragment without
 * a newline still ends its own line.  Unless --full is given, the long pmem
 * callback report is trimmed the way a log pipeline would do it, by routine
 * and line: modules without traffic are left out, and the per-pool rows of
 * the others (unnamed, identified by position) get their pool's name and are
 * dropped when all zero. */
static int log_line(const char *routine, int line, const char *format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    size_t len = strlen(text);
    const char *nl = len && text[len - 1] == '\n' ? "" : "\n";

    if (!s_log_full && strcmp(routine, "pmem_statis_debug_rt") == 0) {
        if (line == PMEM_RT_MODULE_ROW) {
            unsigned long alloc = 0, freed = 0;
            char name[64];
            s_module_idle =
                sscanf(text, "%63s %lu %lu", name, &alloc, &freed) == 3 && alloc == 0 && freed == 0;
            s_module_pool = 0;
            if (s_module_idle) return 0;
        } else if (line == PMEM_RT_MODULE_POOL_ROW) {
            unsigned pool = s_module_pool++;
            unsigned long a = 0, f = 0, x = 0;
            if (s_module_idle) return 0;
            if (sscanf(text, "%lu %lu %lu", &a, &f, &x) == 3 && a == 0 && f == 0 && x == 0)
                return 0;
            return printf("[%s:%d]     %-18s %s%s", routine, line,
                          pool < PMEM_POOL_ID_N ? pmem_pools[pool].name : "?", text, nl);
        }
    }
    return printf("[%s:%d] %s%s", routine, line, text, nl);
}

/* ---- file reports ------------------------------------------------------- */

static int make_dir(const char *path) {
    char buf[4096];
    if (snprintf(buf, sizeof buf, "%s", path) >= (int)sizeof buf) return -1;
    for (char *p = buf + 1; *p; p++) { /* mkdir -p */
        if (*p != '/') continue;
        *p = '\0';
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
        *p = '/';
    }
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
    struct stat st;
    return stat(buf, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

/* The pool and pmem file reports append, as a host's periodic dump would;
 * the demo starts each file afresh so a run shows only itself. */
static int write_reports(const char *dir) {
    char plex[4096], pmem[4096], modules[4096], live[4096];
    snprintf(plex, sizeof plex, "%s/plex.txt", dir);
    snprintf(pmem, sizeof pmem, "%s/pmem.txt", dir);
    snprintf(modules, sizeof modules, "%s/modules.txt", dir);
    snprintf(live, sizeof live, "%s/live.txt", dir);
    unlink(plex);
    unlink(pmem);
    unlink(live);
    auto_plex_debug(plex);
    pmem_statis_debug(pmem);
    mem_statis_debug(modules);
    return pmem_live_debug(live) == 0 && access(plex, R_OK) == 0 && access(pmem, R_OK) == 0 &&
                   access(modules, R_OK) == 0
               ? 0
               : -1;
}

/* ---- monitoring --------------------------------------------------------- */

static char s_history[4096], s_metrics[4200];
static double s_sample_us, s_metrics_us;
static unsigned s_samples;

static int start_monitoring(const char *dir) {
    char metrics_dir[4096];
    snprintf(metrics_dir, sizeof metrics_dir, "%s/metrics", dir);
    snprintf(s_history, sizeof s_history, "%s/history.jsonl", dir);
    snprintf(s_metrics, sizeof s_metrics, "%s/auto_plex.prom", metrics_dir);
    if (make_dir(dir) != 0 || make_dir(metrics_dir) != 0) return -1;
    unlink(s_history); /* this run's history only */
    char older[4200];
    snprintf(older, sizeof older, "%s.1", s_history);
    unlink(older);
    return 0;
}

/* One sample, as a host's timer would take it (capped at 64 MiB). */
static void sample_history(void) {
    double t = now_seconds();
    if (ap_history_append(s_history, 64u << 20) == 0) s_samples++;
    s_sample_us += (now_seconds() - t) * 1e6;
}

/* The page, from the history, by the viewer beside this source tree. */
static int write_page(const char *dir) {
    char page[4096];
    snprintf(page, sizeof page, "%s/history.html", dir);
    char *argv[] = {"python3", AP_HISTORY_VIEWER, s_history, "-o", page, NULL};
    pid_t pid;
    extern char **environ;
    if (posix_spawnp(&pid, "python3", NULL, NULL, argv, environ) != 0) return -1;
    int status;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0
                                                                                            : -1;
}

/* ---- start-up and shut-down --------------------------------------------- */

static int start_modules(const char *settings) {
    char why[256];
    if (auto_plex_configure(settings, why, sizeof why) != 0)
        fprintf(stderr, "demo_host: --settings: %s; the rest applies\n", why);
    pmem_init(); /* once, before any pmem allocation */
    if (auto_plex_init(&s_session_pool, sizeof(struct session), MAX_SESSIONS, "sessions") != 0)
        return -1;
    s_cache_id = reg_module_id("cache");
    s_journal_id = reg_module_id("journal");
    if (s_cache_id < 0 || s_journal_id < 0) return -1;
    set_module_mem_limit(CACHE_LIMIT, s_cache_id);
    return 0;
}

static void stop_modules(void) {
    while (s_session_n)
        auto_plex_free(&s_session_pool, s_sessions[--s_session_n]);
    auto_plex_clear(&s_session_pool);
    while (s_rx_n) {
        pmem_free(s_rx[s_rx_head]);
        s_rx_head = (s_rx_head + 1) % RX_RING;
        s_rx_n--;
    }
    for (unsigned i = 0; i < PARSERS; i++)
        pmem_free(s_messages[i].buf);
    for (unsigned i = 0; i < WHEEL; i++)
        pmem_free(s_wheel[i]);
    while (s_cache_n)
        cache_evict_oldest();
    for (unsigned i = 0; i < s_journal_n; i++)
        free_with_statis(s_journal[i], s_journal_id);
    /* pmem's pools live until the process ends, by design. */
}

int main(int argc, char **argv) {
    struct options opt;
    if (parse_options(argc, argv, &opt) != 0) {
        usage(stderr);
        return 2;
    }
    s_rng = opt.seed * 0x9E3779B97F4A7C15ULL + 1; /* never zero */
    s_log_full = opt.full;

    if (start_modules(opt.settings) != 0) {
        fprintf(stderr, "demo_host: out of memory at start-up\n");
        return 1;
    }

    /* The load follows a slow wave: sessions and the packet backlog rise
     * and fall together, three and a half times over the run, so the run
     * ends at a peak with every module busy. */
    if (start_monitoring(opt.out) != 0) {
        fprintf(stderr, "demo_host: cannot create %s\n", opt.out);
        return 1;
    }
    double start = now_seconds(), t = 0, next_sample = 0;
    uint64_t ops = 0;
    do {
        if (t >= next_sample) { /* four samples a second */
            sample_history();
            next_sample += 0.25;
        }
        double phase = opt.seconds > 0 ? t / opt.seconds : 0;
        double wave = phase * 3.5 - (double)(unsigned)(phase * 3.5); /* 0..1 sawtooth */
        double load = wave < 0.5 ? 2 * wave : 2 - 2 * wave;          /* 0..1 triangle */
        unsigned wanted = 4000 + (unsigned)(load * 18000);           /* peaks above 20000 */
        unsigned backlog = 200 + (unsigned)(load * 3000);
        for (int i = 0; i < 4096; i++, ops++) {
            unsigned r = below(100);
            if (r < 30)
                sessions_step(wanted, t);
            else if (r < 60)
                net_rx_step(backlog);
            else if (r < 70)
                config_step();
            else if (r < 82)
                parser_step();
            else if (r < 92)
                timers_step(ops);
            else if (r < 98)
                cache_step();
            else
                journal_step();
        }
        t = now_seconds() - start;
    } while (t < opt.seconds);

    printf("demo_host: %.1f s of traffic, seed %llu, %llu operations\n", t,
           (unsigned long long)opt.seed, (unsigned long long)ops);
    printf("  sessions: %u open, %llu opened, %llu refused at the pool's bound of %d\n",
           s_session_n, (unsigned long long)s_sessions_opened,
           (unsigned long long)s_sessions_refused, MAX_SESSIONS);
    printf("  cache:    %u entries, %llu stored, %llu refused by its %d MiB limit\n", s_cache_n,
           (unsigned long long)s_cache_inserts, (unsigned long long)s_cache_refused,
           CACHE_LIMIT >> 20);
    printf(
        "  parser:   %llu resizes refused (%llu failures injected in all; the message keeps "
        "its buffer)\n\n",
        (unsigned long long)s_parser_refused, (unsigned long long)ap_fail_injected());

    auto_plex_debug_rt(log_line);
    pmem_statis_debug_rt(log_line);
    if (!opt.full) printf("(modules without traffic and empty pool rows left out: --full)\n");
    mem_statis_debug_rt(log_line);

    int rc = 0;
    if (write_reports(opt.out) == 0) {
        printf("\nfile reports: %s/plex.txt %s/pmem.txt %s/modules.txt %s/live.txt\n", opt.out,
               opt.out, opt.out, opt.out);
    } else {
        fprintf(stderr, "demo_host: cannot write the reports into %s\n", opt.out);
        rc = 1;
    }
    sample_history();
    double before = now_seconds();
    if (ap_metrics_write(s_metrics) != 0) {
        fprintf(stderr, "demo_host: cannot write %s\n", s_metrics);
        rc = 1;
    }
    s_metrics_us = (now_seconds() - before) * 1e6;
    printf("metrics:      %s (one write: %.0f us)\n", s_metrics, s_metrics_us);
    printf("history:      %s (%u samples, %.0f us each)\n", s_history, s_samples,
           s_samples ? s_sample_us / s_samples : 0.0);
    if (write_page(opt.out) == 0)
        printf("page:         %s/history.html\n", opt.out);
    else
        printf("page:         not written (needs python3 and %s)\n", AP_HISTORY_VIEWER);
    char settings[1024];
    auto_plex_settings(settings, sizeof settings);
    printf("settings:     %s\n", settings);
    stop_modules();
    printf("leak list:    at exit, on stderr (the config table is left to the process's end)\n");
    fflush(stdout); /* before the exit handlers write to stderr */
    return rc;
}
