// The JSON writer of the statistics reports.
#include "reports/json_writer.h"

#include <stdio.h>
#include <string.h>

#include "platform/ap_check.h"
#include "platform/ap_sys.h"

namespace {

constexpr size_t kFirstBuffer = 4096;
constexpr unsigned kMaxDepth = 64;

}  // namespace

size_t utf8_sequence(const unsigned char *s) {
    unsigned char c = s[0];
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
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
            char esc[] = {'\\', static_cast<char>(*p++)};
            put(esc, sizeof esc);
        } else if (*p < 0x20) {
            char esc[sizeof "\\u0000"];
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

// Room for the longest number either form can print, and its NUL.
using number_text = char[sizeof "-9223372036854775808"];

void ApJson::u64(const char *key, uint64_t v) {
    member(key);
    number_text digits;
    put(digits, size_t(snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(v))));
}

void ApJson::i64(const char *key, int64_t v) {
    member(key);
    number_text digits;
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
