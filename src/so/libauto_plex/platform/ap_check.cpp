// The failure half of LIBAP_CHECK.  It runs when the heap may already be
// damaged, so it formats into a stack buffer and writes with one write(2):
// no stdio locks, no allocation.
#include "platform/ap_check.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

void ap_check_fail_internal(const char *cond, const char *file, unsigned line, const char *func) {
    char buf[1024];
    const char *prog = program_invocation_short_name;
    int n = snprintf(buf, sizeof buf, "%s%s%s:%u: %s%sAssertion `%s' failed.\n", prog,
                     *prog ? ": " : "", file, line, func, *func ? ": " : "", cond);
    if (n > 0) {
        size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
        ssize_t ignored = write(STDERR_FILENO, buf, len);
        (void)ignored;
    }
    abort();
}
