/* Monitoring: the counters of all three components as Prometheus metrics, a
 * history of them over time, and what pmem's live allocations are.
 *
 * Metrics.  The text exposition format (version 0.0.4) that Prometheus and
 * node_exporter's textfile collector read: every counter and gauge of the
 * plexes, pmem's pools and modules and the accounted modules, their peaks
 * and glibc's mallinfo2 figures, all named auto_plex_*, each family with its
 * HELP and TYPE lines.  Plexes are labelled by name (plexes sharing a name
 * are summed), pmem pools by name and size, modules by name; pmem modules
 * that have never allocated are left out.  Both forms allocate nothing for
 * up to 64 plexes (pmem's 26 pools among them); past that, the plexes are
 * grouped by name in one buffer from the system allocator, and without it
 * the write fails.  The file form
 * writes a temporary file beside `path` (".<pid>.tmp") and renames it over
 * `path`, as the textfile collector requires.
 *
 * History.  One line of compact JSON per call, appended to a file: the time
 * and the figures of the JSON reports (every plex, the pmem pools and
 * modules that have been used, the accounted modules, mallinfo2), for a host
 * that samples from its own timer.  With a cap, a line that would take the
 * file past it first renames the file to "<path>.1" (replacing an older
 * one), so the history holds between cap and twice the cap of the latest
 * samples.  tools/ap_history_view turns the files into an HTML page.
 *
 * Live allocations.  A report built on pmem_walk_live: each module's live
 * allocations grouped by pool, with counts and bytes.
 *
 * Leak list.  What pmem's modules still hold, by module and pool, with
 * counts and bytes, and the accounted modules (malloc_statis.h) still
 * holding bytes: one header line, then one line per module and pool and one
 * per accounted module, every line starting "leaks: " (docs/MONITORING.md
 * has the format).  Appended to a file, or written to stderr for a null
 * path, through write(2) alone: it allocates nothing but its tally and
 * takes no stdio lock, so it serves from an exit handler too.
 *
 * Every function returns 0, or -1 when nothing could be written: a null
 * path (but for the leak list) or function, a path that cannot be written, a
 * write error, or no memory for the history line, the tally of the live
 * report or the leak list, or the metrics' grouping of many plexes.  A
 * failed file form leaves the destination as it was.  Safe from any thread
 * while others allocate; no lock is held while a report is formatted or
 * written (except when memory for the plexes' copy runs out: then the plex
 * registry stays locked meanwhile). */
#ifndef LIBAUTO_PLEX_AP_MONITOR_H
#define LIBAUTO_PLEX_AP_MONITOR_H

#include <stddef.h>

#include "ap_api.h"
#include "app_log.h"

AP_BEGIN_DECLS

/* Receives the metrics text in pieces; a non-zero return stops the writer,
 * which then returns -1. */
typedef int (*ap_text_sink)(const char *text, size_t len, void *ctx);

/* The metrics and history writers also give back released memory that has
 * been idle for the release delay (auto_plex.h), as a block's coming or
 * going would: a host that writes them on a timer needs no other call. */
AP_API int ap_metrics_write(const char *path);
AP_API int ap_metrics_write_to(ap_text_sink sink, void *ctx);

/* max_bytes 0: no cap. */
AP_API int ap_history_append(const char *path, size_t max_bytes);

/* The live-allocation report, appended to `path`, or one call of
 * app_log_rt per line. */
AP_API int pmem_live_debug(const char *path);
AP_API int pmem_live_debug_rt(app_log_rt_fn app_log_rt);

/* The leak list now, appended to `path`, or to stderr for a null path. */
AP_API int pmem_leak_report(const char *path);

AP_END_DECLS

#endif
