/* The host's logging function, shared by every callback report.
 *
 * Each call carries the name of the reporting routine, a line number fixed
 * per call site (log pipelines key on the pair), a printf format and its
 * values.  Every line or fragment of a report is one call; the result is
 * ignored. */
#ifndef LIBAUTO_PLEX_APP_LOG_H
#define LIBAUTO_PLEX_APP_LOG_H

#include "ap_api.h"

AP_BEGIN_DECLS

typedef int (*app_log_rt_fn)(const char *routine, int line, const char *format, ...)
    AP_PRINTF_LIKE(3, 4);

AP_END_DECLS

#endif
