// The fault-injection engine (platform/ap_inject.h).
//
// Owned state, zero at load: the rule in force (s_rule, its name twice: one
// copy the deciding threads read atomically, one the listing reads), the
// sequence count that guards it, the eligible calls and failures of the
// rule, and the process's total of injected failures.
#include "platform/ap_inject.h"

#include <string.h>

#include "platform/ap_lock.h"
#include "private/settings.h"
#include "pmem.h"

uint32_t ap_inject_armed_word;

namespace {

constexpr size_t kNameMax = 127;
// The generation sits above the count in the eligible and failure words; a
// count would need 2^48 calls to reach it.
constexpr unsigned kCountBits = 48;
constexpr uint64_t kCountMask = (uint64_t{1} << kCountBits) - 1;

enum : uint32_t { kAnyKind = 0 };  // else the filtered kind + 1

// Every field is read by deciding threads with relaxed atomics, and only
// written by ap_fail_inject under s_lock while s_seq is odd.
struct Rule {
    uint64_t every, seed, times, min_size;
    uint32_t permille, kind;
    int32_t pmem_module, pmem_pool;
    char name[kNameMax + 1];
};
Rule s_rule;
char s_listed_name[kNameMax + 1];  // plain: read by the listing under s_lock
uint32_t s_seq;
uint64_t s_eligible, s_failed;  // generation << kCountBits | count
uint64_t s_total;
ap_lock s_lock;

// Acquire and release (plain moves on x86) rather than fences, which the
// race detector does not model: a decider that reads any field of a re-arm
// also sees the odd count stored before it, when it reads the count again.
template <class T>
inline T get(const T &field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T>
inline void put(T &field, T v) {
    __atomic_store_n(&field, v, __ATOMIC_RELEASE);
}

inline uint64_t generation(uint32_t seq) {
    return uint64_t{seq >> 1 & 0xffff} << kCountBits;
}

// The counter-based draw: splitmix64's n-th output from `seed`.
inline uint64_t draw(uint64_t seed, uint64_t n) {
    uint64_t z = seed + n * 0x9e3779b97f4a7c15u;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

bool name_matches(const char *site) {
    if (!site) return false;
    for (size_t i = 0;; i++) {
        const char c = get(s_rule.name[i]);
        if (c != site[i]) return false;
        if (c == '\0') return true;
    }
}

// Advances a generation-tagged word by one if it still belongs to `gen` and
// its count is below `cap` (0: none); the new count, or 0.
uint64_t advance(uint64_t *word, uint64_t gen, uint64_t cap) {
    uint64_t w = __atomic_load_n(word, __ATOMIC_RELAXED);
    do {
        if ((w & ~kCountMask) != gen || (cap && (w & kCountMask) >= cap)) return 0;
    } while (
        !__atomic_compare_exchange_n(word, &w, w + 1, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return (w & kCountMask) + 1;
}

bool too_long(const char *name) {
    return name && strnlen(name, kNameMax + 1) > kNameMax;
}

}  // namespace

bool ap_inject_fail(const ap_inject_site &site) {
    const uint32_t seq = __atomic_load_n(&s_seq, __ATOMIC_ACQUIRE);
    if (seq & 1) return false;
    const uint32_t kind = get(s_rule.kind);
    if (kind != kAnyKind && kind != site.kind + 1u) return false;
    if (kind != kAnyKind && site.kind == kInjectPmem) {
        const int32_t mid = get(s_rule.pmem_module), pool = get(s_rule.pmem_pool);
        if ((mid >= 0 && mid != site.pmem_module) || (pool >= 0 && pool != site.pmem_pool))
            return false;
    }
    if (kind != kAnyKind && site.kind != kInjectPmem && !name_matches(site.name)) return false;
    if (site.kind != kInjectPmem && !site.name) return false;
    if (site.size < get(s_rule.min_size)) return false;
    const uint64_t every = get(s_rule.every), seed = get(s_rule.seed), times = get(s_rule.times);
    const uint32_t permille = get(s_rule.permille);
    // The rule read above is whole only if no re-arm began meanwhile.
    if (__atomic_load_n(&s_seq, __ATOMIC_RELAXED) != seq) return false;

    const uint64_t gen = generation(seq);
    const uint64_t n = advance(&s_eligible, gen, 0);
    if (n == 0 || (every && n % every) || (permille && draw(seed, n) % 1000 >= permille))
        return false;
    const uint64_t failed = advance(&s_failed, gen, times);
    if (failed == 0) return false;
    __atomic_add_fetch(&s_total, 1, __ATOMIC_RELAXED);
    // The last failure allowed disarms, unless a re-arm came first: the hot
    // paths are back to one load and branch.
    uint32_t armed = seq + 1;
    if (failed == times)
        __atomic_compare_exchange_n(&ap_inject_armed_word, &armed, 0, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED);
    return true;
}

void ap_fail_rule_internal(ap_fail_rule *out) {
    ap_guard g(&s_lock, kRankInject);
    *out = ap_fail_rule{get(s_rule.every),
                        get(s_rule.permille),
                        get(s_rule.seed),
                        get(s_rule.times),
                        get(s_rule.min_size),
                        -1,
                        -1,
                        nullptr,
                        nullptr};
    switch (get(s_rule.kind)) {
        case kInjectPmem + 1u:
            out->pmem_module = get(s_rule.pmem_module);
            out->pmem_pool = get(s_rule.pmem_pool);
            break;
        case kInjectPlex + 1u:
            out->plex = s_listed_name;
            break;
        case kInjectStatis + 1u:
            out->statis_module = s_listed_name;
            break;
    }
}

extern "C" {

AP_API int ap_fail_inject(const ap_fail_rule *rule) {
    ap_settings_load_once();  // so that the environment never overrides a call
    const bool on = rule && (rule->every || rule->permille);
    ap_fail_rule s = on ? *rule : ap_fail_rule{0, 0, 0, 0, 0, -1, -1, nullptr, nullptr};
    const bool by_pmem = s.pmem_module != -1 || s.pmem_pool != -1;
    if (s.permille > 1000 || by_pmem + (s.plex != nullptr) + (s.statis_module != nullptr) > 1 ||
        s.pmem_module < -1 || s.pmem_module >= PMEM_MID_N || s.pmem_pool < -1 ||
        s.pmem_pool >= PMEM_POOL_ID_N || too_long(s.plex) || too_long(s.statis_module))
        return -22;
    const char *name = s.plex ? s.plex : s.statis_module;
    const uint32_t kind = by_pmem  ? kInjectPmem + 1u
                          : s.plex ? kInjectPlex + 1u
                          : name   ? kInjectStatis + 1u
                                   : kAnyKind;

    ap_fork_register_lock<&s_lock, kRankInject>();
    ap_guard g(&s_lock, kRankInject);
    const uint32_t seq = __atomic_load_n(&s_seq, __ATOMIC_RELAXED);
    put(ap_inject_armed_word, 0u);
    put(s_seq, seq + 1);
    put(s_rule.every, s.every), put(s_rule.seed, s.seed), put(s_rule.times, s.times);
    put(s_rule.min_size, s.min_size), put(s_rule.permille, s.permille), put(s_rule.kind, kind);
    put(s_rule.pmem_module, s.pmem_module), put(s_rule.pmem_pool, s.pmem_pool);
    const size_t len = name ? strlen(name) : 0;
    for (size_t i = 0; i <= len; i++)
        put(s_rule.name[i], name ? name[i] : '\0');
    memcpy(s_listed_name, name ? name : "", len + 1);
    put(s_eligible, generation(seq + 2));
    put(s_failed, generation(seq + 2));
    __atomic_store_n(&s_seq, seq + 2, __ATOMIC_RELEASE);
    // Odd, so never 0, and naming the arm: a decider disarms only its own.
    if (on) __atomic_store_n(&ap_inject_armed_word, seq + 3, __ATOMIC_RELEASE);
    return 0;
}

AP_API uint64_t ap_fail_injected(void) {
    return __atomic_load_n(&s_total, __ATOMIC_RELAXED);
}

}  // extern "C"
