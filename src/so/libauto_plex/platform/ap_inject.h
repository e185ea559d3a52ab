// Fault injection: whether an allocation call fails on purpose (private
// header; ap_settings.h has what a host sees).
//
// Placed in the lowest layer so that pmem, the pools and mem_statis ask the
// same engine.  Each allocation site tests ap_inject_armed, and only then
// asks ap_inject_fail with what it is about to do: while nothing is armed a
// site pays one relaxed load and one predictable branch.  A true answer means:
// fail this call down the path of a real shortage, and count it apart as
// injected.
//
// Threads.  ap_fail_inject rewrites the rule under a lock, inside a sequence
// count (odd while it writes): a deciding thread reads the rule with acquire
// loads, the name byte by byte, and gives up (no failure, nothing counted)
// when the count moved meanwhile.  The eligible-call count and the failures
// of the rule carry the rule's generation in their top bits and are only
// advanced by a compare-exchange that checks it, so a call that overlaps a
// re-arm never counts against the new rule.  The global total only grows.
#ifndef LIBAUTO_PLEX_PLATFORM_AP_INJECT_H
#define LIBAUTO_PLEX_PLATFORM_AP_INJECT_H

#include <stdint.h>

#include "ap_settings.h"

enum ap_inject_kind : uint8_t { kInjectPmem, kInjectPlex, kInjectStatis };

// One allocation call.  pmem: module and pool id, size requested; a plex:
// its name and item size; an accounted call: the module's name and the bytes
// requested.  A plex or accounted call without a name is never eligible.
struct ap_inject_site {
    ap_inject_kind kind;
    int32_t pmem_module, pmem_pool;
    const char *name;
    uint64_t size;
};

// Nonzero while a rule may still fail calls (0 once its `times` is reached).
extern uint32_t ap_inject_armed_word;

// The hot paths' test.  A site asks ap_inject_fail only when this is true,
// from an out-of-line function of its own, so that while nothing is armed
// it neither builds the site nor needs a stack frame for the call.
inline bool ap_inject_armed() {
    return __atomic_load_n(&ap_inject_armed_word, __ATOMIC_RELAXED) != 0;
}

// Whether this call fails; counts it when it is eligible.
[[gnu::cold]] bool ap_inject_fail(const ap_inject_site &site);

// The rule in force, for the settings' listing: every and permille 0 when
// nothing is armed; the names point to the engine's copies, which stay as
// they are until the next ap_fail_inject (a caller that lists while another
// thread may re-arm serialises the two itself).
void ap_fail_rule_internal(ap_fail_rule *out);

#endif
