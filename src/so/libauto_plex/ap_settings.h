/* Settings for the people who run a host: one text of key=value pairs, and
 * fault injection for testing a host's out-of-memory paths.
 *
 * Settings.  The text is `key=value` pairs separated by commas, e.g.
 *
 *     release=pages,fail_every=1000,fail_pmem_module=net_rx,poison=on
 *
 * The environment variable AUTO_PLEX_CONF is read once, at the first init of
 * any component (auto_plex_init, pmem_init, reg_module_id, or a call below);
 * auto_plex_configure applies the same text at run time.  A pair with an
 * unknown key, a bad value or a number out of range is ignored and the rest
 * still apply; from the environment each such pair is named on stderr once,
 * with what was expected.  The README lists every key with its default.
 * Values cannot contain commas.
 *
 * Fault injection.  Allocation calls can be made to fail on purpose, down the
 * same paths as a real shortage: pmem's calls (counted in the pool's and the
 * module's fail_count), auto_plex_alloc (counted in alloc_failed) and the
 * accounted calls of malloc_statis.h (null, the account unchanged).  Each
 * failure made so is also counted apart as injected, in the snapshots
 * (ap_stats.h), the JSON reports and the metrics.
 *
 * Every call here is safe from any thread. */
#ifndef LIBAUTO_PLEX_AP_SETTINGS_H
#define LIBAUTO_PLEX_AP_SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#include "ap_api.h"

AP_BEGIN_DECLS

/* Applies every valid pair of `text` in order (a later pair overrides an
 * earlier one).  Returns 0, or -22 when a pair was ignored: `message`, when
 * not null, then receives a one-line account of the first one (truncated to
 * message_size bytes, always terminated).  A null text changes nothing and
 * returns -22. */
AP_API int auto_plex_configure(const char *text, char *message, size_t message_size);

/* Writes the settings in force as one text that auto_plex_configure accepts
 * (every key, in the README's order), truncated to `size` bytes and always
 * terminated when size > 0.  Returns the length of the whole text, so a
 * result of `size` or more means the buffer was too small. */
AP_API size_t auto_plex_settings(char *buf, size_t size);

/* Which allocation calls fail.  A call is eligible when it passes the
 * filters; of the eligible calls the n-th (counted from 1) fails when
 * `every` divides n (or every is 0) and its draw passes (or permille is 0),
 * until `times` calls have failed.  The draw of the n-th eligible call
 * depends on seed and n only, so a run with the same seed and the same
 * sequence of calls fails the same calls.
 *
 * Filters restrict to one kind of call: pmem_module and pmem_pool to pmem's
 * calls, plex to auto_plex_alloc, statis_module to the accounted calls; with
 * no filter every kind is eligible.  A resize that allocates nothing (a
 * pmem_realloc within its pool, a realloc_with_statis within the block) is
 * no call here, nor is a pmem call before pmem_init. */
typedef struct ap_fail_rule {
    uint64_t every;            /* fail every n-th eligible call; 0: no interval */
    uint32_t permille;         /* chance per eligible call, 0..1000; 0: no draw */
    uint64_t seed;             /* of the draws */
    uint64_t times;            /* failures before injection stops; 0: no end */
    uint64_t min_size;         /* only requests of at least this many bytes */
    int32_t pmem_module;       /* only pmem calls charged to this module id; -1: any */
    int32_t pmem_pool;         /* only pmem calls served by this pool id; -1: any */
    const char *plex;          /* only plexes of this name (copied); null: any */
    const char *statis_module; /* only this accounted module's calls (copied); null: any */
} ap_fail_rule;

/* Starts injecting failures as `rule` says, from a fresh count of eligible
 * calls; null, or every and permille both 0, stops it.  Returns 0, or -22
 * (nothing changes) for a permille above 1000, filters of two kinds, a
 * module or pool id out of range, or a name longer than 127 bytes. */
AP_API int ap_fail_inject(const ap_fail_rule *rule);

/* Failures injected since the process started. */
AP_API uint64_t ap_fail_injected(void);

AP_END_DECLS

#endif
