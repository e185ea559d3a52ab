// Makes one pool fault on purpose, for the valgrind tests: "uaf" writes into
// a freed slot, "overflow" writes one byte past a slot into its never-used
// neighbour, "clean" does neither.  Built with the slot descriptions for
// memcheck, the first two must be reported and the last must not.
#include <string.h>

#include "auto_plex.h"

int main(int argc, char **argv) {
    const char *what = argc > 1 ? argv[1] : "clean";
    auto_plex pool;
    if (auto_plex_init(&pool, 64, 0, "valgrind") != 0) return 2;
    char *a = static_cast<char *>(auto_plex_alloc(&pool));
    char *b = static_cast<char *>(auto_plex_alloc(&pool));
    memset(a, 1, 64);
    memset(b, 2, 64);
    auto_plex_free(&pool, b);
    if (strcmp(what, "uaf") == 0) b[10] = 3;
    char *c = static_cast<char *>(auto_plex_alloc(&pool));  // b's slot again
    if (strcmp(what, "overflow") == 0) c[64] = 4;
    auto_plex_free(&pool, c);
    auto_plex_free(&pool, a);
    auto_plex_clear(&pool);
    return 0;
}
