// The settings text: AUTO_PLEX_CONF, its older single-setting variables, and
// the calls that apply and list it.
//
// Owned state: whether the environment has been read, the preload's report
// path, and the lock that makes one text apply as a whole against another
// thread's.  Every other value lives in the component it configures and is
// changed through that component's own call, so a setting changed by its
// call and by the text are one setting, and the listing asks the components.
//
// A pair that cannot apply is ignored and named; the others still apply: a
// host started with one typo should run with everything else it asked for.
#include "ap_settings.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "auto_plex.h"
#include "pmem.h"
#include "platform/ap_inject.h"
#include "platform/ap_lock.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/leaks.h"
#include "private/pmem_private.h"
#include "private/settings.h"

int g_ap_settings_state;

namespace {

ap_lock s_lock;
pthread_t s_loader;  // the thread reading the environment, while state is 1
char s_report[PATH_MAX];

// ---- text ---------------------------------------------------------------------

struct Span {
    const char *p;
    size_t n;
    bool is(const char *word) const { return strlen(word) == n && memcmp(p, word, n) == 0; }
};

Span trim(const char *p, size_t n) {
    while (n && (*p == ' ' || *p == '\t'))
        p++, n--;
    while (n && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    return {p, n};
}

// A text built into a caller's buffer: truncated, always terminated, and its
// whole length counted, as snprintf does.
struct Out {
    char *buf;
    size_t size, len = 0;
    void put(const char *p, size_t n) {
        if (len < size) {
            const size_t room = size - 1 - len;
            memcpy(buf + len, p, n < room ? n : room);
            buf[len + (n < room ? n : room)] = '\0';
        }
        len += n;
    }
    void put(const char *s) { put(s, strlen(s)); }
    [[gnu::format(printf, 2, 3)]] void putf(const char *fmt, ...) {
        char piece[192];
        va_list ap;
        va_start(ap, fmt);
        const int n = vsnprintf(piece, sizeof piece, fmt, ap);
        va_end(ap);
        put(piece, n < 0 ? 0 : std::min<size_t>(size_t(n), sizeof piece - 1));
    }
    // A piece of the host's text inside quotes: bounded, and with anything
    // that would break the line (or a terminal) shown as '?'.
    void quote(Span s) {
        constexpr size_t kMost = 80;
        put("\"");
        for (size_t i = 0; i < s.n && i < kMost; i++) {
            const char c = s.p[i] >= 0x20 && s.p[i] < 0x7f ? s.p[i] : '?';
            put(&c, 1);
        }
        put(s.n > kMost ? "...\"" : "\"");
    }
};

// ---- values -------------------------------------------------------------------

enum Parsed { kNotANumber, kNumber, kPast64Bits };

// A decimal count; byte sizes may end in k, m or g (binary multiples).
Parsed parse_number(Span v, bool bytes, uint64_t *out) {
    if (v.n == 0) return kNotANumber;
    unsigned shift = 0;
    if (bytes) {
        switch (v.p[v.n - 1]) {
            case 'k':
            case 'K':
                shift = 10;
                break;
            case 'm':
            case 'M':
                shift = 20;
                break;
            case 'g':
            case 'G':
                shift = 30;
                break;
        }
        if (shift && --v.n == 0) return kNotANumber;
    }
    uint64_t x = 0;
    bool wrapped = false;
    for (size_t i = 0; i < v.n; i++) {
        if (v.p[i] < '0' || v.p[i] > '9') return kNotANumber;
        if (__builtin_mul_overflow(x, 10u, &x) || __builtin_add_overflow(x, v.p[i] - '0', &x))
            wrapped = true;
    }
    wrapped |= shift && x > (UINT64_MAX >> shift);
    *out = x << shift;
    return wrapped ? kPast64Bits : kNumber;
}

using Apply = bool (*)(Span value, Out &why);
using Show = void (*)(Out &o);

struct Key {
    const char *name;
    Apply apply;
    Show show;
};

// A number in [lo, hi]; `what` names the unit for the message.
bool number_in(Span v, bool bytes, uint64_t lo, uint64_t hi, const char *what, Out &why,
               uint64_t *out) {
    const Parsed parsed = parse_number(v, bytes, out);
    if (parsed == kNumber && *out >= lo && *out <= hi) return true;
    why.putf("%sexpected %s from %lu to %lu", parsed != kNotANumber ? "out of range; " : "", what,
             lo, hi);
    return false;
}

// ---- the keys -------------------------------------------------------------------

const char *const kPolicyNames[] = {"pages", "trim", "delay"};  // by policy number
static_assert(AUTO_PLEX_RELEASE_PAGES == 0 && AUTO_PLEX_RELEASE_TRIM == 1 &&
              AUTO_PLEX_RELEASE_DELAY == 2);

bool apply_release(Span v, Out &why) {
    for (int p = 0; p < 3; p++)
        if (v.is(kPolicyNames[p])) return auto_plex_set_release_policy(p) == 0;
    why.put("expected delay, pages or trim");
    return false;
}
void show_release(Out &o) {
    o.put(kPolicyNames[plex_release_policy_internal()]);
}

bool apply_release_delay(Span v, Out &why) {
    uint64_t ms;
    if (!number_in(v, false, 0, AUTO_PLEX_RELEASE_DELAY_MAX_MS, "milliseconds", why, &ms))
        return false;
    return auto_plex_set_release_delay(uint32_t(ms)) == 0;
}
void show_release_delay(Out &o) {
    o.putf("%u", plex_release_delay_internal());
}

// Up to 1 TiB: a host with more than that resident and idle wants another
// policy, and the sums the slack enters stay far from overflowing.
constexpr uint64_t kSlackMost = uint64_t{1} << 40;
bool apply_release_slack(Span v, Out &why) {
    uint64_t bytes;
    if (!number_in(v, true, 0, kSlackMost, "bytes", why, &bytes)) return false;
    plex_release_set_slack_internal(size_t(bytes));
    return true;
}
void show_release_slack(Out &o) {
    o.putf("%zu", plex_release_slack_internal());
}

bool apply_report(Span v, Out &why) {
    if (v.n >= sizeof s_report) {
        why.putf("expected a path of at most %zu bytes", sizeof s_report - 1);
        return false;
    }
    memcpy(s_report, v.p, v.n);
    s_report[v.n] = '\0';
    return true;
}
void show_report(Out &o) {
    o.put(s_report);
}

bool apply_leak_report(Span v, Out &why) {
    char where[PATH_MAX];
    if (v.n >= sizeof where) {
        why.putf("expected off, stderr or a path of at most %zu bytes", sizeof where - 1);
        return false;
    }
    memcpy(where, v.p, v.n);
    where[v.n] = '\0';
    const int rc = ap_leak_report_at_exit_internal(where);
    if (rc == -22)
        why.putf("expected off, stderr or a path that fits in %zu bytes from the working directory",
                 sizeof where - 1);
    else if (rc != 0)
        why.putf("cannot be set now (%s)", rc == -12 ? "out of memory" : "no working directory");
    return rc == 0;
}
void show_leak_report(Out &o) {
    o.put(ap_leak_report_where_internal());
}

// On and off in the spellings operators use.
int parse_switch(Span v) {
    for (const char *on : {"on", "1", "yes", "true"})
        if (v.is(on)) return 1;
    for (const char *off : {"off", "0", "no", "false"})
        if (v.is(off)) return 0;
    return -1;
}

bool apply_poison(Span v, Out &why) {
    const int on = parse_switch(v);
    if (on < 0) why.put("expected on or off");
    return on >= 0 && pmem_set_poison(on) == 0;
}
void show_poison(Out &o) {
    o.put(pmem_poison_internal() ? "on" : "off");
}

// A pmem module by its name in pmem_modules.def or its id; -1 for neither.
int pmem_module_of(Span v) {
    uint64_t id;
    if (const Parsed p = parse_number(v, false, &id); p != kNotANumber)
        return p == kNumber && id < PMEM_MID_N ? int(id) : -1;
    for (int mid = 0; mid < PMEM_MID_N; mid++)
        if (v.is(pmem_module_names[mid])) return mid;
    return -1;
}

const char kModuleExpected[] = "a pmem module's name or an id from 0 to 128";

// <module>:<bytes>, one module per pair; an empty value lifts every ceiling.
bool apply_pmem_limit(Span v, Out &why) {
    if (v.n == 0) {
        for (uint16_t mid = 0; mid < PMEM_MID_N; mid++)
            if (pmem_module_limit_internal(mid)) pmem_set_module_mem_limit(0, mid);
        return true;
    }
    const char *colon = static_cast<const char *>(memchr(v.p, ':', v.n));
    const int mid = colon ? pmem_module_of(trim(v.p, size_t(colon - v.p))) : -1;
    uint64_t bytes;
    if (!colon || mid < 0) {
        why.putf("expected <module>:<bytes>, the module %s", kModuleExpected);
        return false;
    }
    if (!number_in(trim(colon + 1, v.n - size_t(colon + 1 - v.p)), true, 0, SIZE_MAX,
                   "a ceiling in bytes (0 lifts it)", why, &bytes))
        return false;
    return pmem_set_module_mem_limit(size_t(bytes), uint16_t(mid)) == 0;
}
// Every ceiling in force, as further pairs of the same key.
void show_pmem_limit(Out &o) {
    bool first = true;
    for (unsigned mid = 0; mid < PMEM_MID_N; mid++) {
        const uint64_t limit = pmem_module_limit_internal(mid);
        if (!limit) continue;
        if (!first) o.put(",pmem_limit=");
        o.putf("%s:%lu", pmem_module_names[mid], limit);
        first = false;
    }
}

// ---- fault injection ----
//
// The injector keeps a rule only while it is armed, yet operators set its
// keys one pair at a time ("fail_seed=7,fail_every=100"): the pairs edit a
// staged rule, which is what the injector runs whenever it is armed.

constexpr size_t kFailNameMax = 127;
ap_fail_rule s_fail = {0, 0, 0, 0, 0, -1, -1, nullptr, nullptr};
char s_fail_plex[kFailNameMax + 1], s_fail_statis[kFailNameMax + 1];

// The rule in force if the injector is armed (a host may have armed it by its
// own call), else the staged one.
ap_fail_rule current_fail() {
    ap_fail_rule live;
    ap_fail_rule_internal(&live);
    if (!live.every && !live.permille) return s_fail;
    for (auto [from, to] :
         {std::pair{&live.plex, s_fail_plex}, {&live.statis_module, s_fail_statis}})
        if (*from) {
            snprintf(to, kFailNameMax + 1, "%s", *from);
            *from = to;
        }
    return live;
}

// Applies one pair's edit to the rule in force.
template <class Edit>
bool edit_fail(Out &why, Edit &&edit) {
    ap_fail_rule want = current_fail();
    edit(want);
    if (ap_fail_inject(&want) != 0) {
        why.put(
            "expected filters of one kind: empty the others first (fail_pmem_module= and "
            "fail_pmem_pool= for pmem, fail_plex=, fail_statis_module=)");
        return false;
    }
    s_fail = want;
    return true;
}

template <uint64_t ap_fail_rule::*kField>
bool apply_fail_count(Span v, Out &why) {
    uint64_t n;
    return number_in(v, kField == &ap_fail_rule::min_size, 0, UINT64_MAX,
                     kField == &ap_fail_rule::min_size ? "bytes" : "a count", why, &n) &&
           edit_fail(why, [n](ap_fail_rule &f) { f.*kField = n; });
}
template <uint64_t ap_fail_rule::*kField>
void show_fail_count(Out &o) {
    o.putf("%lu", current_fail().*kField);
}

bool apply_fail_permille(Span v, Out &why) {
    uint64_t n;
    return number_in(v, false, 0, 1000, "a chance per thousand", why, &n) &&
           edit_fail(why, [n](ap_fail_rule &f) { f.permille = uint32_t(n); });
}
void show_fail_permille(Out &o) {
    o.putf("%u", current_fail().permille);
}

bool apply_fail_pmem_module(Span v, Out &why) {
    const int mid = v.n ? pmem_module_of(v) : -1;
    if (v.n && mid < 0) {
        why.putf("expected %s, or nothing for any", kModuleExpected);
        return false;
    }
    return edit_fail(why, [mid](ap_fail_rule &f) { f.pmem_module = mid; });
}
void show_fail_pmem_module(Out &o) {
    const int mid = current_fail().pmem_module;
    if (mid >= 0) o.put(pmem_module_names[mid]);
}

// A pool by id or by its name, pmem_pool_<size>.
bool apply_fail_pmem_pool(Span v, Out &why) {
    int pool = -1;
    uint64_t id;
    if (parse_number(v, false, &id) == kNumber && id < PMEM_POOL_ID_N) pool = int(id);
    for (int p = 0; pool < 0 && p < PMEM_POOL_ID_N; p++) {
        char name[32];
        snprintf(name, sizeof name, "pmem_pool_%u", pmem_pool_sizes[p]);
        if (v.is(name)) pool = p;
    }
    if (v.n && pool < 0) {
        why.put(
            "expected a pool id from 0 to 26 or its name (pmem_pool_<size>), or nothing for any");
        return false;
    }
    return edit_fail(why, [pool](ap_fail_rule &f) { f.pmem_pool = pool; });
}
void show_fail_pmem_pool(Out &o) {
    const int pool = current_fail().pmem_pool;
    if (pool >= 0) o.putf("pmem_pool_%u", pmem_pool_sizes[pool]);
}

template <const char *ap_fail_rule::*kField, char (&kCopy)[kFailNameMax + 1]>
bool apply_fail_name(Span v, Out &why) {
    if (v.n > kFailNameMax) {
        why.putf("expected a name of at most %zu bytes, or nothing for any", kFailNameMax);
        return false;
    }
    char name[kFailNameMax + 1];
    memcpy(name, v.p, v.n);
    name[v.n] = '\0';
    if (!edit_fail(why, [&](ap_fail_rule &f) { f.*kField = v.n ? name : nullptr; })) return false;
    if (v.n) s_fail.*kField = static_cast<const char *>(memcpy(kCopy, name, v.n + 1));
    return true;
}
template <const char *ap_fail_rule::*kField>
void show_fail_name(Out &o) {
    if (const char *name = current_fail().*kField) o.put(name);
}

// In the README's order, which the listing keeps.
constexpr Key kKeys[] = {
    {"release", apply_release, show_release},
    {"release_delay_ms", apply_release_delay, show_release_delay},
    {"release_slack", apply_release_slack, show_release_slack},
    {"report", apply_report, show_report},
    {"leak_report", apply_leak_report, show_leak_report},
    {"poison", apply_poison, show_poison},
    {"pmem_limit", apply_pmem_limit, show_pmem_limit},
    {"fail_every", apply_fail_count<&ap_fail_rule::every>, show_fail_count<&ap_fail_rule::every>},
    {"fail_permille", apply_fail_permille, show_fail_permille},
    {"fail_seed", apply_fail_count<&ap_fail_rule::seed>, show_fail_count<&ap_fail_rule::seed>},
    {"fail_times", apply_fail_count<&ap_fail_rule::times>, show_fail_count<&ap_fail_rule::times>},
    {"fail_min_size", apply_fail_count<&ap_fail_rule::min_size>,
     show_fail_count<&ap_fail_rule::min_size>},
    {"fail_pmem_module", apply_fail_pmem_module, show_fail_pmem_module},
    {"fail_pmem_pool", apply_fail_pmem_pool, show_fail_pmem_pool},
    {"fail_plex", apply_fail_name<&ap_fail_rule::plex, s_fail_plex>,
     show_fail_name<&ap_fail_rule::plex>},
    {"fail_statis_module", apply_fail_name<&ap_fail_rule::statis_module, s_fail_statis>,
     show_fail_name<&ap_fail_rule::statis_module>},
};

// ---- applying a text ----------------------------------------------------------

// One text being applied: where it came from and what went wrong.
struct Run {
    const char *source;  // the variable, for the stderr lines; null for a call
    unsigned rejected = 0;
    char first[512] = "";  // the first rejection, for the call's message
};

// A rejected pair: one line on stderr for the environment, the first one
// kept for a call.
void reject(Run &run, Span shown, const char *why_text, bool unknown) {
    char line[512];
    Out o{line, sizeof line};
    if (unknown) {
        o.put("unknown key in ");
        o.quote(shown);
        o.put("; expected one of");
        for (const Key &k : kKeys) {
            o.put(&k == kKeys ? " " : ", ");
            o.put(k.name);
        }
    } else {
        o.quote(shown);
        o.put(": ");
        o.put(why_text);
    }
    if (run.rejected++ == 0) snprintf(run.first, sizeof run.first, "%s", line);
    if (!run.source) return;
    char full[sizeof "libauto_plex: AUTO_PLEX_CONF: ; ignored\n" + 512];
    // An alias's pair already shows its variable.
    const bool text = strcmp(run.source, "AUTO_PLEX_CONF") == 0;
    const int n = snprintf(full, sizeof full, "libauto_plex: %s%s%s; ignored\n",
                           text ? run.source : "", text ? ": " : "", line);
    // write(2), not stdio: this may run inside the preload's malloc.
    ssize_t ignored = write(STDERR_FILENO, full, std::min<size_t>(size_t(n), sizeof full - 1));
    (void)ignored;
}

void apply_pair(Run &run, Span key, Span value, Span shown) {
    for (const Key &k : kKeys) {
        if (!key.is(k.name)) continue;
        char why[256];
        Out w{why, sizeof why};
        why[0] = '\0';
        if (!k.apply(value, w)) reject(run, shown, why, false);
        return;
    }
    reject(run, shown, nullptr, true);
}

void apply_text(Run &run, const char *text) {
    for (const char *p = text;;) {
        const char *end = strchr(p, ',');
        const Span item = trim(p, end ? size_t(end - p) : strlen(p));
        if (item.n) {
            const char *eq = static_cast<const char *>(memchr(item.p, '=', item.n));
            if (!eq)
                reject(run, item, "expected key=value", false);
            else
                apply_pair(run, trim(item.p, size_t(eq - item.p)),
                           trim(eq + 1, item.n - size_t(eq + 1 - item.p)), item);
        }
        if (!end) return;
        p = end + 1;
    }
}

// A variable that holds one setting's value, whole (commas included).
void apply_alias(Run &run, const char *variable, const char *key) {
    const char *value = ap_sys_setting(variable);
    if (!value) return;
    char shown[128];
    const int n = snprintf(shown, sizeof shown, "%s=%s", variable, value);
    run.source = variable;
    apply_pair(run, {key, strlen(key)}, {value, strlen(value)},
               {shown, std::min<size_t>(size_t(n), sizeof shown - 1)});
}

}  // namespace

void ap_settings_load_slow() {
    int expected = 0;
    if (__atomic_compare_exchange_n(&g_ap_settings_state, &expected, 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&s_loader, pthread_self(), __ATOMIC_RELEASE);
        ap_fork_register_lock<&s_lock, kRankSettings>();
        {
            ap_guard g(&s_lock, kRankSettings);
            Run run{};
            // The older variables first: the one text has the last word.
            apply_alias(run, "AUTO_PLEX_RELEASE", "release");
            apply_alias(run, "AUTO_PLEX_RELEASE_DELAY", "release_delay_ms");
            // The preload names the problems of its report path itself, as
            // it always has; here the path only joins the listing.
            const char *report = ap_sys_setting("AUTO_PLEX_REPORT");
            if (report && strlen(report) < sizeof s_report) strcpy(s_report, report);
            if (const char *text = ap_sys_setting("AUTO_PLEX_CONF")) {
                run.source = "AUTO_PLEX_CONF";
                apply_text(run, text);
            }
        }
        __atomic_store_n(&g_ap_settings_state, 2, __ATOMIC_RELEASE);
        return;
    }
    // The reading applies its values through the components' calls, which
    // ask for the settings again: on the reading thread that must not wait.
    if (expected == 1 &&
        pthread_equal(__atomic_load_n(&s_loader, __ATOMIC_ACQUIRE), pthread_self()))
        return;
    while (__atomic_load_n(&g_ap_settings_state, __ATOMIC_ACQUIRE) != 2)
        sched_yield();
}

bool ap_settings_report_internal(char *out, size_t size) {
    ap_settings_load_once();
    ap_guard g(&s_lock, kRankSettings);
    const size_t n = strlen(s_report);
    if (n >= size) return false;
    memcpy(out, s_report, n + 1);
    return true;
}

extern "C" {

AP_API int auto_plex_configure(const char *text, char *message, size_t message_size) {
    Run run{};
    if (!text) {
        snprintf(run.first, sizeof run.first, "no settings text");
        run.rejected = 1;
    } else {
        ap_settings_load_once();
        ap_guard g(&s_lock, kRankSettings);
        apply_text(run, text);
    }
    if (message && message_size) snprintf(message, message_size, "%s", run.first);
    return run.rejected ? -22 : 0;
}

AP_API size_t auto_plex_settings(char *buf, size_t size) {
    ap_settings_load_once();
    Out o{buf, size};
    if (size) buf[0] = '\0';
    ap_guard g(&s_lock, kRankSettings);
    for (const Key &k : kKeys) {
        if (&k != kKeys) o.put(",");
        o.put(k.name);
        o.put("=");
        k.show(o);
    }
    return o.len;
}

}  // extern "C"
