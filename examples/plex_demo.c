/* A host module keeping its session records in a bounded pool: allocate,
 * churn, release, then print the pool report through a logging function. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "auto_plex.h"

struct session {
    unsigned id;
    char user[32];
    double last_seen;
};

/* The host's logging function.  Like most log sinks it turns every call into
 * one record, so a fragment without a newline still ends its own line. */
static int log_to_stdout(const char *routine, int line, const char *format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    size_t len = strlen(text);
    return printf("[%s:%d] %s%s", routine, line, text, len && text[len - 1] == '\n' ? "" : "\n");
}

int main(void) {
    static auto_plex sessions; /* the host owns the control block */
    enum { MAX_SESSIONS = 20000 };
    if (auto_plex_init(&sessions, sizeof(struct session), MAX_SESSIONS, "sessions") != 0) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }

    static struct session *live[MAX_SESSIONS];
    unsigned n = 0, next_id = 0;
    srand(1);
    for (int step = 0; step < 200000; step++) {
        if (n < MAX_SESSIONS && (n < 12000 || rand() % 2 == 0)) {
            struct session *s = auto_plex_alloc(&sessions);
            if (!s) break;
            s->id = next_id++;
            snprintf(s->user, sizeof s->user, "user%u", s->id);
            s->last_seen = step;
            live[n++] = s;
        } else {
            unsigned i = (unsigned)rand() % n;
            auto_plex_free(&sessions, live[i]);
            live[i] = live[--n];
        }
    }
    printf("%u sessions live, %llu slots in %llu blocks created\n", n,
           (unsigned long long)sessions.alloc_num, (unsigned long long)sessions.count_expand);
    auto_plex_debug_rt(log_to_stdout);

    while (n)
        auto_plex_free(&sessions, live[--n]);
    auto_plex_clear(&sessions);
    return 0;
}
