// The JSON writer of the statistics reports, and the file and callback
// framing every JSON report shares.
#include "ap_json.h"

#include <limits.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ap_check.h"
#include "ap_report.h"
#include "ap_stats.h"
#include "ap_sys.h"

namespace {

constexpr size_t kFirstBuffer = 4096;
constexpr unsigned kMaxDepth = 64;

// Length of the well-formed UTF-8 sequence at s (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8_sequence(const unsigned char *s) {
    unsigned char c = s[0];
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;  // a NUL ends the string here too
    return n;
}

}  // namespace

ApJson::~ApJson() {
    ap_sys_free(buf_);
}

void ApJson::put(const char *s, size_t n) {
    if (failed_) return;
    if (file_) {
        if (fwrite(s, 1, n, file_) != n) failed_ = true;
        return;
    }
    if (len_ + n + 1 > cap_) {
        size_t cap = cap_ ? cap_ : kFirstBuffer;
        while (len_ + n + 1 > cap)
            cap *= 2;
        char *grown = static_cast<char *>(ap_sys_realloc(buf_, cap));
        if (!grown) {
            failed_ = true;
            return;
        }
        buf_ = grown;
        cap_ = cap;
    }
    memcpy(buf_ + len_, s, n);
    len_ += n;
    buf_[len_] = '\0';
}

void ApJson::put(const char *s) {
    put(s, strlen(s));
}

void ApJson::put_string(const char *s) {
    put("\"", 1);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    while (*p) {
        const unsigned char *run = p;  // bytes that go out as they are
        while (*p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\')
            p++;
        put(reinterpret_cast<const char *>(run), size_t(p - run));
        if (!*p) break;
        if (*p == '"' || *p == '\\') {
            char esc[2] = {'\\', static_cast<char>(*p++)};
            put(esc, 2);
        } else if (*p < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", *p++);
            put(esc);
        } else if (size_t n = utf8_sequence(p)) {
            put(reinterpret_cast<const char *>(p), n);
            p += n;
        } else {
            put("\\ufffd");
            p++;
        }
    }
    put("\"", 1);
}

void ApJson::member(const char *key) {
    if (depth_ > 0) {
        if (has_member_ & (uint64_t{1} << depth_)) put(",", 1);
        has_member_ |= uint64_t{1} << depth_;
    }
    if (key) {
        put_string(key);
        put(":", 1);
    }
}

void ApJson::open(char c) {
    LIBAP_CHECK(depth_ + 1 < kMaxDepth);
    put(&c, 1);
    depth_++;
    has_member_ &= ~(uint64_t{1} << depth_);
}

void ApJson::close(char c) {
    LIBAP_CHECK(depth_ > 0);
    depth_--;
    put(&c, 1);
}

void ApJson::begin_object(const char *key) {
    member(key);
    open('{');
}

void ApJson::end_object() {
    close('}');
}

void ApJson::begin_array(const char *key) {
    member(key);
    open('[');
}

void ApJson::end_array() {
    close(']');
}

void ApJson::u64(const char *key, uint64_t v) {
    member(key);
    char digits[24];
    put(digits, size_t(snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(v))));
}

void ApJson::i64(const char *key, int64_t v) {
    member(key);
    char digits[24];
    put(digits, size_t(snprintf(digits, sizeof digits, "%ld", static_cast<long>(v))));
}

void ApJson::boolean(const char *key, bool v) {
    member(key);
    put(v ? "true" : "false");
}

void ApJson::str(const char *key, const char *s) {
    member(key);
    if (s)
        put_string(s);
    else
        put("null");
}

namespace {

void head(ApJson &j, const char *report) {
    j.u64("version", AP_STATS_JSON_VERSION);
    j.str("report", report);
    j.i64("time", static_cast<int64_t>(time(nullptr)));
    j.u64("ppid", ap_report_ppid());
    j.u64("pid", ap_report_pid());
}

// mallinfo2: the size_t figures, which do not wrap above 2 GiB as the int
// ones of the text reports do.
void mallinfo2_object(ApJson &j) {
    struct mallinfo2 mi = mallinfo2();
    j.begin_object("mallinfo2");
    j.u64("arena", mi.arena);
    j.u64("ordblks", mi.ordblks);
    j.u64("smblks", mi.smblks);
    j.u64("hblks", mi.hblks);
    j.u64("hblkhd", mi.hblkhd);
    j.u64("usmblks", mi.usmblks);
    j.u64("fsmblks", mi.fsmblks);
    j.u64("uordblks", mi.uordblks);
    j.u64("fordblks", mi.fordblks);
    j.u64("keepcost", mi.keepcost);
    j.end_object();
}

void document(ApJson &j, const char *report, ap_json_body body) {
    j.begin_object();
    head(j, report);
    mallinfo2_object(j);
    body(j);
    j.end_object();
}

}  // namespace

int ap_json_to_file(const char *path, const char *report, ap_json_body body) {
    if (!path) return -1;
    // Beside the target, so the rename stays within one file system.
    char tmp[PATH_MAX];
    int n = snprintf(tmp, sizeof tmp, "%s.%u.tmp", path, ap_report_pid());
    if (n < 0 || size_t(n) >= sizeof tmp) return -1;
    FILE *f = ap_report_open(tmp, "w");
    if (!f) return -1;
    bool ok;
    {
        ApJson j(f);
        document(j, report, body);
        ok = !j.failed() && fputc('\n', f) != EOF && fflush(f) == 0 && !ferror(f);
    }
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp, path) == 0) return 0;
    unlink(tmp);
    return -1;
}

int ap_json_to_log(app_log_rt_fn log, const char *routine, const char *report, ap_json_body body) {
    if (!log) return -1;
    ApJson j;
    document(j, report, body);
    if (const char *text = j.text()) {
        log(routine, AP_STATS_JSON_LINE, "%s\n", text);
        return 0;
    }
    // Small enough for the stack: still one parseable document.
    char fallback[256];
    snprintf(fallback, sizeof fallback,
             "{\"version\":%d,\"report\":\"%s\",\"error\":\"out of memory\"}",
             AP_STATS_JSON_VERSION, report);
    log(routine, AP_STATS_JSON_LINE, "%s\n", fallback);
    return -1;
}
