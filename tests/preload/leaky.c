// Leaks seven 3000-byte blocks (pmem_pool_3072, which nothing else here
// uses), then exits elsewhere while another thread still allocates.
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

static void *churn(void *arg) {
    for (;;) {
        void *volatile p = malloc(50);
        free(p);
    }
    return arg;
}

// Kept where the compiler must store them: an allocation whose pointer is
// never used may be left out altogether.
static void *volatile s_leaked[7];

int main(void) {
    pthread_t thread;
    for (int i = 0; i < 7; i++)
        if (!(s_leaked[i] = malloc(3000))) return 1;
    return pthread_create(&thread, NULL, churn, NULL) || chdir("/") || usleep(10000);
}
