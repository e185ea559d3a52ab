// The slow half of the locks and the fork handlers (platform/ap_lock.h).
#include "platform/ap_lock.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/ap_check.h"

namespace {

// Spinning pays while the holder runs on another core and its critical
// section is a few dozen instructions; past that, sleeping frees the core.
constexpr int kSpins = 100;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void futex(uint32_t *word, int op, uint32_t value) {
    syscall(SYS_futex, word, op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

}  // namespace

void ap_lock_wait_internal(ap_lock *l) {
    for (int i = 0; i < kSpins; i++) {
        cpu_relax();
        uint32_t free = 0;
        if (__atomic_load_n(&l->state, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(&l->state, &free, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
    }
    // From here the word says 2 while this thread may sleep, so the holder's
    // give wakes one sleeper.  A thread that takes the lock this way leaves it
    // at 2: its own give then wakes a possible further sleeper, at the cost of
    // one spare wake-up.
    while (__atomic_exchange_n(&l->state, 2, __ATOMIC_ACQUIRE) != 0)
        futex(&l->state, FUTEX_WAIT, 2);
}

void ap_lock_wake_internal(ap_lock *l) {
    futex(&l->state, FUTEX_WAKE, 1);
}

#ifndef NDEBUG
namespace {
thread_local unsigned t_held[kRankCount];
}

void ap_lock_order_taking_internal(unsigned rank, bool same_rank_ok) {
    for (unsigned r = rank + same_rank_ok; r < kRankCount; r++)
        if (t_held[r] != 0)
            ap_check_fail_internal("no lock of this rank or above is held", __FILE__, __LINE__,
                                   "ap_lock_take");
    t_held[rank]++;
}

void ap_lock_order_given_internal(unsigned rank) {
    t_held[rank]--;
}
#endif

// ---- fork --------------------------------------------------------------------------------

namespace {

ap_fork_hooks s_hooks[kRankCount];
// Per rank: 0 none, 1 being registered, 2 registered.
uint8_t s_hooked[kRankCount];
bool s_handlers_installed;
// Whether the prepare handler took the locks: a single-threaded parent takes
// none, and its children and itself must then give none back.
bool s_taken_for_fork;

void fork_prepare() {
    s_taken_for_fork = ap_threaded();
    if (!s_taken_for_fork) return;
    for (unsigned r = 0; r < kRankCount; r++)
        if (__atomic_load_n(&s_hooked[r], __ATOMIC_ACQUIRE) == 2) s_hooks[r].take_all();
}

void fork_done() {
    if (!s_taken_for_fork) return;
    for (unsigned r = kRankCount; r-- > 0;)
        if (__atomic_load_n(&s_hooked[r], __ATOMIC_ACQUIRE) == 2) s_hooks[r].give_all();
}

}  // namespace

void ap_fork_register(unsigned rank, ap_fork_hooks hooks) {
    uint8_t none = 0;
    if (__atomic_load_n(&s_hooked[rank], __ATOMIC_ACQUIRE) != 0 ||
        !__atomic_compare_exchange_n(&s_hooked[rank], &none, 1, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        return;
    s_hooks[rank] = hooks;
    __atomic_store_n(&s_hooked[rank], 2, __ATOMIC_RELEASE);
    if (!__atomic_exchange_n(&s_handlers_installed, true, __ATOMIC_ACQ_REL))
        pthread_atfork(fork_prepare, fork_done, fork_done);
}
