// Text written without the heap (private header of the reports layer): a
// stack buffer handed to a sink in pieces.  The metrics writer and the leak
// list use it, both for callers whose memory may be short or whose malloc is
// pmem itself (the preload), where a heap allocation from a report would
// come back into the pools being read.
#ifndef LIBAUTO_PLEX_REPORTS_TEXT_OUT_H
#define LIBAUTO_PLEX_REPORTS_TEXT_OUT_H

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "ap_monitor.h"
#include "reports/json_writer.h"

class TextOut {
  public:
    TextOut(ap_text_sink sink, void *ctx) : sink_(sink), ctx_(ctx) {}
    TextOut(const TextOut &) = delete;
    TextOut &operator=(const TextOut &) = delete;

    void put(const char *s, size_t n) {
        while (n) {
            if (len_ == sizeof buf_) flush();
            const size_t k = n < sizeof buf_ - len_ ? n : sizeof buf_ - len_;
            memcpy(buf_ + len_, s, k);
            len_ += k, s += k, n -= k;
        }
    }
    void put(const char *s) { put(s, strlen(s)); }
    [[gnu::format(printf, 2, 3)]] void print(const char *format, ...) {
        char line[256];  // fixed names and numbers only; label values go through put
        va_list ap;
        va_start(ap, format);
        const int n = vsnprintf(line, sizeof line, format, ap);
        va_end(ap);
        if (n > 0) put(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
    }
    // Label values: backslash, double quote and newline escaped, as the
    // format requires, and bytes that are not well-formed UTF-8 replaced by
    // U+FFFD, so any module name gives a file every reader accepts.
    void label_value(const char *s) {
        if (!s) s = "(null)";
        const auto *p = reinterpret_cast<const unsigned char *>(s);
        while (*p) {
            const auto *plain = p;  // the usual name: one copy
            while (*p && *p < 0x80 && *p != '\\' && *p != '"' && *p != '\n')
                p++;
            put(reinterpret_cast<const char *>(plain), size_t(p - plain));
            if (!*p) break;
            if (*p == '\\' || *p == '"') {
                const char esc[2] = {'\\', static_cast<char>(*p++)};
                put(esc, 2);
            } else if (*p == '\n') {
                put("\\n", 2), p++;
            } else if (const size_t n = utf8_sequence(p)) {
                put(reinterpret_cast<const char *>(p), n), p += n;
            } else {
                put("\xef\xbf\xbd", 3), p++;
            }
        }
    }
    bool finish() {
        flush();
        return !failed_;
    }

  private:
    void flush() {
        if (len_ && !failed_) failed_ = sink_(buf_, len_, ctx_) != 0;
        len_ = 0;
    }

    char buf_[4096];
    size_t len_ = 0;
    ap_text_sink sink_;
    void *ctx_;
    bool failed_ = false;
};

#endif
