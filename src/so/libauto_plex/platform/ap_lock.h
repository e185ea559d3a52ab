// The library's locks (private header).
//
// One lock per piece of shared state: each plex (pmem's pools included), the
// plex registry, pmem's large-area set and counters, the release bookkeeping,
// the mem_statis registry and each of its module records, the fault-injection
// rule.  Two threads on
// different pools never meet.
//
// While glibc says the process has one thread (__libc_single_threaded) no
// lock is taken at all, so a single-threaded host pays one predictable
// branch.  A scope that starts unlocked stays consistent: only a running
// thread can start another and the library starts none, so a second thread
// can appear inside a scope only through a host callback made there (the
// live walk's), and the scope then ends as it began, without the lock.
//
// Uncontended, a lock costs one atomic compare-exchange to take and one
// exchange to give back (the give must read whether anyone sleeps in the
// same step as it frees the lock, or a wake-up could be lost).  Contended, the taker spins briefly,
// then sleeps on a futex of the lock word.
//
// Lock order, checked in debug builds: a thread holding a lock may only take
// locks of a higher rank.  The fork handlers take them all in this order.
#ifndef LIBAUTO_PLEX_PLATFORM_AP_LOCK_H
#define LIBAUTO_PLEX_PLATFORM_AP_LOCK_H

#include <stdint.h>
#include <sys/single_threaded.h>

enum ap_lock_rank : unsigned {
    kRankSettings,        // the settings text being applied
    kRankPlexRegistry,    // plex_registry
    kRankPlex,            // one plex: its control block, extension and blocks
    kRankPoolCounters,    // pmem's large-area set and the counters it shares
    kRankPmemModule,      // one pmem module's ceiling and its reservations
    kRankRelease,         // what the pools hold and have given back
    kRankStatisRegistry,  // mem_statis' module table
    kRankStatisRecord,    // one mem_statis module record
    kRankInject,          // the fault-injection rule
    kRankLeakReport,      // where the leak list goes at exit; last: callers may hold others
    kRankCount
};

struct ap_lock {
    uint32_t state;  // 0: free; 1: held; 2: held and someone may sleep on it
};

inline bool ap_threaded() {
    return !__libc_single_threaded;
}

void ap_lock_wait_internal(ap_lock *l);
void ap_lock_wake_internal(ap_lock *l);
#ifndef NDEBUG
void ap_lock_order_taking_internal(unsigned rank, bool same_rank_ok);
void ap_lock_order_given_internal(unsigned rank);
#endif

// Unconditional: the caller has decided that locking is needed.
inline void ap_lock_take(ap_lock *l, unsigned rank, bool same_rank_ok = false) {
#ifndef NDEBUG
    ap_lock_order_taking_internal(rank, same_rank_ok);
#endif
    (void)rank, (void)same_rank_ok;
    // A compare-exchange, not an exchange: writing 1 over a 2 would erase
    // the mark that someone sleeps, and the next give would not wake them.
    uint32_t free = 0;
    if (!__atomic_compare_exchange_n(&l->state, &free, 1, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        ap_lock_wait_internal(l);
}

inline void ap_lock_give(ap_lock *l, unsigned rank) {
#ifndef NDEBUG
    ap_lock_order_given_internal(rank);
#endif
    (void)rank;
    if (__atomic_exchange_n(&l->state, 0, __ATOMIC_RELEASE) == 2) ap_lock_wake_internal(l);
}

// Holds `l` for a scope when the process has more than one thread; a null
// lock holds nothing.  `threaded` lets a caller that asked already reuse
// the answer.
class ap_guard {
  public:
    ap_guard(ap_lock *l, unsigned rank, bool threaded = ap_threaded())
        : lock_(threaded ? l : nullptr), rank_(rank) {
        if (lock_) ap_lock_take(lock_, rank_);
    }
    ~ap_guard() {
        if (lock_) ap_lock_give(lock_, rank_);
    }
    ap_guard(const ap_guard &) = delete;
    ap_guard &operator=(const ap_guard &) = delete;

  private:
    ap_lock *const lock_;
    const unsigned rank_;
};

// ---- counters ----------------------------------------------------------------------------
//
// Counters that reports read while other threads run are written and read
// as whole words (relaxed atomics: plain moves on the targets we build for),
// so a reader never sees a torn value and ThreadSanitizer sees no race.

// kThreaded: whether the process has more than one thread, decided once per
// call by the caller, so that a single-threaded process runs the plain
// arithmetic of old and nothing else.

// A counter that only the holder of its lock writes.
template <bool kThreaded = true>
inline void ap_count_locked(uint64_t *c, uint64_t n = 1) {
    if constexpr (kThreaded)
        __atomic_store_n(c, __atomic_load_n(c, __ATOMIC_RELAXED) + n, __ATOMIC_RELAXED);
    else
        *c += n;
}

// A counter that threads holding no common lock add to; returns the new value.
template <bool kThreaded>
inline uint64_t ap_count_shared(uint64_t *c, uint64_t n) {
    if constexpr (kThreaded)
        return __atomic_add_fetch(c, n, __ATOMIC_RELAXED);
    else
        return *c += n;
}

// Raises *peak to v if v is higher.
template <bool kThreaded>
inline void ap_raise_peak(uint64_t *peak, uint64_t v) {
    if constexpr (!kThreaded) {
        if (v > *peak) *peak = v;
    } else {
        uint64_t seen = __atomic_load_n(peak, __ATOMIC_RELAXED);
        while (v > seen && !__atomic_compare_exchange_n(peak, &seen, v, true, __ATOMIC_RELAXED,
                                                        __ATOMIC_RELAXED)) {
        }
    }
}

inline uint64_t ap_read(const uint64_t *c) {
    return __atomic_load_n(c, __ATOMIC_RELAXED);
}

// ---- fork ------------------------------------------------------------------------------
//
// Each component that owns locks registers, once, how to take all of them
// and how to give them back; the first registration installs the process's
// fork handlers.  Before fork() every lock is taken in rank order, so the
// child starts with no lock held by a thread it does not have.
struct ap_fork_hooks {
    void (*take_all)();
    void (*give_all)();
};
void ap_fork_register(unsigned rank, ap_fork_hooks hooks);

// The registration of a component that one lock guards.
template <ap_lock *kLock, unsigned kRank>
void ap_fork_register_lock() {
    ap_fork_register(kRank,
                     {[] { ap_lock_take(kLock, kRank); }, [] { ap_lock_give(kLock, kRank); }});
}

#endif
