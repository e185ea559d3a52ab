// Where released memory goes: the release policy, what the pools hold from
// the system allocator, and the memory kept for reuse under the delayed
// policy.
//
// Owned state, all under s_lock: the policy and the delay (also read without
// the lock), the held and dirty byte counts, the idle table and the times of
// the last trim check.
//
// Why a delay.  Blocks and large areas are big, and a host that frees them
// often allocates them again soon: a batch of requests drains a pool and the
// next batch refills it.  Handing their pages to the kernel at once makes the
// refill fault every page in again; never handing them back leaves the
// resident size of a host that has gone quiet at its peak.  So a released
// block or large area stays in the idle table, pages and all, and a growth
// of the same size takes it back; only what has stayed there for the delay
// goes back to the kernel.  Nothing runs by itself: the clock is read when a
// block or large area comes or goes (never on a slot's allocation or
// release), by the writers of the monitoring outputs, and by
// auto_plex_release_idle.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "auto_plex.h"
#include "platform/ap_check.h"
#include "platform/ap_lock.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/plex_block.h"
#include "private/settings.h"

namespace {

constexpr int kPolicyUnset = -1;
int s_policy = kPolicyUnset;
uint32_t s_delay_ms = AUTO_PLEX_RELEASE_DELAY_DEFAULT_MS;
size_t s_slack = AUTO_PLEX_RELEASE_SLACK;

size_t slack() {
    return __atomic_load_n(&s_slack, __ATOMIC_RELAXED);
}

ap_lock s_lock;
size_t s_held;   // what the pools' blocks and pmem's large areas hold
size_t s_dirty;  // released to the system allocator, maybe resident, not taken up
// Memory went to the system allocator since the heap's top was last looked
// at: the edges of every area given back stay in its free lists.
bool s_trim_wanted;  // written like s_idle_n

// Areas kept for reuse, oldest first.  A fixed table: the bookkeeping of
// released memory must not itself allocate, and it is never written into the
// kept memory, whose pages stay untouched until they are reused or go back.
// When it is full the oldest area goes back at once.
struct idle_area {
    void *mem;
    size_t bytes;
    uint64_t since;  // ap_sys_now_ns() at its release
};
constexpr uint32_t kIdleMax = 1024;
idle_area s_idle[kIdleMax];
// Written under the lock, read without it by the peeks that keep a host with
// nothing idle off the lock: stores are atomic so that a peek reads a value
// some step left, never a torn one.
uint32_t s_idle_n;
size_t s_idle_bytes;
void set_idle_n(uint32_t n) {
    __atomic_store_n(&s_idle_n, n, __ATOMIC_RELAXED);
}
void set_trim_wanted(bool wanted) {
    __atomic_store_n(&s_trim_wanted, wanted, __ATOMIC_RELAXED);
}
uint64_t s_last_trim_check;  // ap_sys_now_ns() of the last look at the heap's top

int policy() {
    const int p = __atomic_load_n(&s_policy, __ATOMIC_RELAXED);
    return p == kPolicyUnset ? AUTO_PLEX_RELEASE_DELAY : p;
}

uint64_t delay_ns() {
    return uint64_t{__atomic_load_n(&s_delay_ms, __ATOMIC_RELAXED)} * 1000000u;
}

// What leaves the table under the lock is handed back after it is given up:
// madvise and free are system calls, and other threads' growths wait on the
// lock.  Each area says whether its pages go back first (see
// take_oldest_locked).
struct handover {
    static constexpr uint32_t kMax = 32;
    idle_area area[kMax];
    uint32_t n = 0;
    bool pages[kMax];
    bool full() const { return n == kMax; }
};

void hand_back(handover &h) {
    for (uint32_t i = 0; i < h.n; i++) {
        // Kept memory is closed to the memory checkers; the system allocator
        // gets it back open, as it gave it.
        plex_mem_open(h.area[i].mem, h.area[i].bytes);
        if (h.pages[i]) ap_sys_return_pages(h.area[i].mem, h.area[i].bytes);
        ap_sys_free(h.area[i].mem);
    }
}

// With the lock held: moves the table's first `count` areas to `h`.  Those
// of at least `resident_from` bytes keep their pages.
void take_oldest_locked(uint32_t count, size_t resident_from, handover &h) {
    for (uint32_t i = 0; i < count; i++) {
        const bool pages = s_idle[i].bytes < resident_from;
        h.area[h.n] = s_idle[i];
        h.pages[h.n++] = pages;
        s_idle_bytes -= s_idle[i].bytes;
        if (!pages) s_dirty += s_idle[i].bytes;
    }
    if (count) set_trim_wanted(true);
    set_idle_n(s_idle_n - count);
    memmove(s_idle, s_idle + count, s_idle_n * sizeof *s_idle);
}

// With the lock held: how many of the oldest areas have stayed idle for the
// delay, at most what `h` has room for.
uint32_t aged_locked(uint64_t now, const handover &h) {
    const uint64_t delay = delay_ns();
    uint32_t n = 0;
    while (n < s_idle_n && n < handover::kMax - h.n && now - s_idle[n].since >= delay)
        n++;
    return n;
}

// With the lock held: true when the heap should be trimmed now.  The heap is
// looked at once per delay at most, and only when memory went to the system
// allocator since: a trim walks the whole heap, and it is worth that walk
// when what collected at the heap's top, which a trim hands back in one
// piece, passes the slack.
bool trim_due_locked(uint64_t now) {
    if (!s_trim_wanted || now - s_last_trim_check < delay_ns()) return false;
    s_last_trim_check = now;
    set_trim_wanted(false);
    if (ap_sys_heap_top_idle() < slack()) return false;
    s_dirty = 0;
    return true;
}

// Gives back what has aged out, in rounds of what a handover holds; `first`
// runs under the lock before the first round, so that a release and the
// aging it brings take the lock once.
template <class First>
void age_out(uint64_t now, First first) {
    bool trim = false, more = true;
    for (bool first_round = true; more; first_round = false) {
        handover h;
        {
            ap_guard g(&s_lock, kRankRelease);
            if (first_round) first(h);
            take_oldest_locked(aged_locked(now, h), SIZE_MAX, h);
            more = h.full();
            trim = !more && trim_due_locked(now);
        }
        hand_back(h);
    }
    if (trim) ap_sys_trim();
}

void age_out(uint64_t now) {
    age_out(now, [](handover &) {});
}

// With the lock held: the newest idle area of `bytes` exactly, else the
// smallest within [bytes, most]; kIdleMax when none.
uint32_t best_fit_locked(size_t bytes, size_t most) {
    uint32_t best = kIdleMax;
    for (uint32_t i = s_idle_n; i-- > 0;) {
        const size_t b = s_idle[i].bytes;
        if (b == bytes) return i;
        if (b > bytes && b <= most && (best == kIdleMax || b < s_idle[best].bytes)) best = i;
    }
    return best;
}

// With s_lock held; true when the caller must trim (the former policy that
// keeps released memory resident up to the slack, see release_pages).
bool note_dirty_locked(size_t bytes) {
    s_dirty += bytes;
    if (s_dirty <= std::max<size_t>(slack(), s_held / 8)) return false;
    s_dirty = 0;
    return true;
}

// The former default: a released block that fits in the slack is freed with
// its pages; past the slack its own pages go back first, at a cost that grows
// with the block, not with the heap.  What else the system allocator keeps
// goes back with one heap-wide trim each time more than an eighth of what the
// pools hold has been released and not taken up.
void release_pages(void *mem, size_t bytes, bool block) {
    bool stays = !block, trim;
    {
        ap_guard g(&s_lock, kRankRelease);
        s_held -= std::min(s_held, bytes);
        if (block) stays = bytes <= slack() - std::min<size_t>(s_dirty, slack());
        trim = stays && note_dirty_locked(bytes);
    }
    if (!stays) ap_sys_return_pages(mem, bytes);
    ap_sys_free(mem);
    if (trim) ap_sys_trim();
}

void keep(void *mem, size_t bytes) {
    plex_slots_close(mem, bytes);
    const uint64_t now = ap_sys_now_ns();
    age_out(now, [&](handover &h) {
        s_held -= std::min(s_held, bytes);
        if (s_idle_n == kIdleMax) take_oldest_locked(1, SIZE_MAX, h);
        s_idle[s_idle_n] = {mem, bytes, now};
        set_idle_n(s_idle_n + 1);
        s_idle_bytes += bytes;
    });
}

void release(void *mem, size_t bytes, bool block) {
    switch (policy()) {
        case AUTO_PLEX_RELEASE_DELAY:
            return keep(mem, bytes);
        case AUTO_PLEX_RELEASE_TRIM: {
            ap_guard g(&s_lock, kRankRelease);
            s_held -= std::min(s_held, bytes);
        }
            ap_sys_free(mem);
            if (block) ap_sys_trim();  // large areas never called for one
            return;
        default:
            return release_pages(mem, bytes, block);
    }
}

}  // namespace

void plex_release_setup_internal() {
    ap_fork_register_lock<&s_lock, kRankRelease>();
}

int plex_release_policy_internal() {
    return policy();
}

uint32_t plex_release_delay_internal() {
    return __atomic_load_n(&s_delay_ms, __ATOMIC_RELAXED);
}

size_t plex_release_slack_internal() {
    return slack();
}

void plex_release_set_slack_internal(size_t bytes) {
    __atomic_store_n(&s_slack, bytes, __ATOMIC_RELAXED);
}

void *plex_release_obtain_internal(size_t bytes, size_t most, bool zeroed) {
    // Unlocked peek: an empty table is the common case of a growing host, and
    // a stale answer costs one reuse, never correctness.
    if (__atomic_load_n(&s_idle_n, __ATOMIC_RELAXED) != 0) {
        const uint64_t now = ap_sys_now_ns();
        age_out(now);
        handover h;
        void *mem = nullptr;
        size_t opened = 0;
        {
            ap_guard g(&s_lock, kRankRelease);
            const uint32_t i = best_fit_locked(bytes, most);
            if (i != kIdleMax) {
                mem = s_idle[i].mem;
                s_idle_bytes -= s_idle[i].bytes;
                opened = s_idle[i].bytes;
                set_idle_n(s_idle_n - 1);
                memmove(s_idle + i, s_idle + i + 1, (s_idle_n - i) * sizeof *s_idle);
            } else {
                // No area of the size: the oldest go to the system allocator,
                // as many bytes as are asked for, so that the request it is
                // about to serve can take resident memory rather than fault
                // in new pages beside memory kept idle.  For a block, one too
                // small to hold it gives its pages back: pools ask for few
                // sizes, and it would sit resident and unused in the
                // allocator's free lists.  Large areas keep theirs: they
                // come and go like a host's own large blocks, which the
                // allocator joins with their free neighbours to serve the
                // next request.
                uint32_t n = 0;
                for (size_t freed = 0; n < s_idle_n && n < handover::kMax && freed < bytes; n++)
                    freed += s_idle[n].bytes;
                take_oldest_locked(n, most > bytes ? 0 : bytes, h);
            }
        }
        hand_back(h);
        if (mem) {
            plex_mem_open(mem, opened);
            return zeroed ? memset(mem, 0, bytes) : mem;
        }
    }
    // The system allocator knows which of its pages are fresh and need no
    // clearing: a large zeroed area costs no more than the pages it touches.
    return zeroed ? ap_sys_calloc(1, bytes) : ap_sys_malloc(bytes);
}

void auto_plex_taken_up_internal(size_t bytes) {
    ap_guard g(&s_lock, kRankRelease);
    s_held += bytes;
    s_dirty -= std::min(s_dirty, bytes);
}

void plex_release_block_internal(void *mem, size_t bytes) {
    release(mem, bytes, true);
}

void auto_plex_released_internal(void *mem, size_t bytes) {
    release(mem, bytes, false);
}

void plex_release_cleared_internal(size_t bytes) {
    ap_guard g(&s_lock, kRankRelease);
    s_held -= std::min(s_held, bytes);
}

void plex_release_tick_internal() {
    if (__atomic_load_n(&s_idle_n, __ATOMIC_RELAXED) != 0 ||
        __atomic_load_n(&s_trim_wanted, __ATOMIC_RELAXED))
        age_out(ap_sys_now_ns());
}

plex_release_state auto_plex_release_state_internal() {
    ap_guard g(&s_lock, kRankRelease);
    return {s_held, s_dirty, s_idle_bytes, s_idle_n, s_trim_wanted, s_last_trim_check};
}

plex_idle_view plex_release_idle_at_internal(uint32_t i) {
    ap_guard g(&s_lock, kRankRelease);
    LIBAP_CHECK(i < s_idle_n);
    return {s_idle[i].mem, s_idle[i].bytes, s_idle[i].since};
}

extern "C" {

AP_API int auto_plex_set_release_policy(int policy) {
    ap_settings_load_once();  // so that the environment never overrides a call
    if (policy != AUTO_PLEX_RELEASE_PAGES && policy != AUTO_PLEX_RELEASE_TRIM &&
        policy != AUTO_PLEX_RELEASE_DELAY)
        return -22;
    __atomic_store_n(&s_policy, policy, __ATOMIC_RELAXED);
    // Kept memory is what only the delayed policy keeps.
    if (policy != AUTO_PLEX_RELEASE_DELAY) auto_plex_release_idle();
    return 0;
}

AP_API int auto_plex_set_release_delay(uint32_t ms) {
    ap_settings_load_once();
    if (ms > AUTO_PLEX_RELEASE_DELAY_MAX_MS) return -22;
    __atomic_store_n(&s_delay_ms, ms, __ATOMIC_RELAXED);
    return 0;
}

AP_API size_t auto_plex_release_idle(void) {
    size_t bytes = 0;
    bool trim, more;
    do {
        handover h;
        {
            ap_guard g(&s_lock, kRankRelease);
            take_oldest_locked(std::min(s_idle_n, handover::kMax), SIZE_MAX, h);
            more = s_idle_n != 0;
            trim = !more && (s_trim_wanted || s_dirty != 0);
            if (trim) {
                s_dirty = 0;
                set_trim_wanted(false);
                s_last_trim_check = ap_sys_now_ns();
            }
        }
        for (uint32_t i = 0; i < h.n; i++)
            bytes += h.area[i].bytes;
        hand_back(h);
    } while (more);
    if (trim) ap_sys_trim();
    return bytes;
}

}  // extern "C"
