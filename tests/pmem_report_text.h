// The pmem report texts as they must read, rebuilt from their description
// (so many hyphens, so many blanks) rather than from the library's literals,
// for whole-text comparison in the report tests.  Rendered from a counter
// snapshot so tests stay independent of what ran before them in a process.
#ifndef AUTO_PLEX_TESTS_PMEM_REPORT_TEXT_H
#define AUTO_PLEX_TESTS_PMEM_REPORT_TEXT_H

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pmem.h"

namespace pmem_text {

struct Counters {
    pool_statis pools[PMEM_POOL_ID_N];
    module_statis modules[PMEM_MID_N];
};

inline Counters snapshot() {
    Counters c;
    memcpy(c.pools, pmem_pool_stats, sizeof c.pools);
    memcpy(c.modules, pmem_module_stats, sizeof c.modules);
    return c;
}

inline std::string blanks(size_t n) {
    return std::string(n, ' ');
}

inline std::string ljust(const std::string &s, size_t width) {
    return s.size() >= width ? s : s + blanks(width - s.size());
}

inline std::string num(uint64_t v) {
    return std::to_string(v);
}

inline std::string pool_name(unsigned p) {
    return "pmem_pool_" + num(pmem_pool_sizes[p]);
}

inline std::string counts3(uint64_t a, uint64_t f, uint64_t x) {
    return ljust(num(a), 12) + " " + ljust(num(f), 12) + " " + ljust(num(x), 12) + "\n";
}

inline std::string pool_row(const std::string &name, uint64_t a, uint64_t f, uint64_t x) {
    return ljust(name, 20) + " " + counts3(a, f, x);
}

inline std::string module_row(unsigned m, const module_statis &st) {
    return ljust(pmem_module_names[m], 20) + " " + ljust(num(st.alloc_size), 12) + " " +
           ljust(num(st.free_size), 12) + "\n";
}

inline std::string summary(const Counters &c) {
    uint64_t a = 0, f = 0;
    for (const auto &m : c.modules)
        a += m.alloc_size, f += m.free_size;
    return "[summary]---total_allocated_mem:" + num(a) + " total_freed_mem:" + num(f) + "----\n";
}

// The file report after its time stamp line, which tests replace by "<time>".
inline std::string file_report(const Counters &c, unsigned ppid, unsigned pid) {
    std::string out = "\n<time>\n";
    out += std::string(8, '=') + "[module_statis]---ppid:" + num(ppid) + " pid:" + num(pid) +
           std::string(7, '=') + "\n";
    out += "\npool_statis:\n";
    out += "pool_name" + blanks(11) + "alloc_count" + blanks(1) + "free_count" + blanks(2) +
           "fail_count\n";
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
        out += pool_row(pool_name(p), c.pools[p].alloc_count, c.pools[p].free_count,
                        c.pools[p].fail_count);
    out += "\nmodule_statis:\n";
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        const module_statis &st = c.modules[m];
        out += "\nmodule_name" + blanks(9) + "alloc_size" + blanks(2) + "free_count\n";
        out += module_row(m, st);
        if (!st.alloc_size && !st.free_size) continue;
        out += "\npool_name" + blanks(11) + "alloc_size" + blanks(2) + "free_count" + blanks(2) +
               "fail_count\n";
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            if (st.alloc_count[p] || st.free_count[p] || st.fail_count[p])
                out +=
                    pool_row(pool_name(p), st.alloc_count[p], st.free_count[p], st.fail_count[p]);
    }
    return out + summary(c);
}

inline bool is_stamp_at(const std::string &s, size_t i) {
    static const char shape[] = "\n0000-00-00 00:00:00\n";
    if (i + sizeof shape - 1 > s.size()) return false;
    for (size_t k = 0; k < sizeof shape - 1; k++) {
        bool digit = s[i + k] >= '0' && s[i + k] <= '9';
        if (shape[k] == '0' ? !digit : s[i + k] != shape[k]) return false;
    }
    return true;
}

// Replaces each report's "\nYYYY-MM-DD hh:mm:ss\n" by "\n<time>\n"; the
// count of replacements is the number of reports in the text.
inline std::string mask_time(const std::string &text, int *stamps) {
    std::string out;
    *stamps = 0;
    for (size_t i = 0; i < text.size();) {
        if (is_stamp_at(text, i)) {
            out += "\n<time>\n";
            i += 21;
            ++*stamps;
        } else {
            out += text[i++];
        }
    }
    return out;
}

struct Call {
    std::string routine;
    int line;
    std::string text;
    bool operator==(const Call &) const = default;
};

inline std::vector<Call> g_calls;

inline int capture(const char *routine, int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char buf[512];
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    g_calls.push_back({routine, line, buf});
    return 0;
}

// A line that ends in a decimal int: " -?\d+\n".
inline bool ends_in_int(const std::string &text, size_t *digits_at) {
    if (text.size() < 3 || text.back() != '\n') return false;
    size_t i = text.size() - 1;
    while (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9')
        i--;
    if (i == text.size() - 1) return false;
    if (i > 0 && text[i - 1] == '-') i--;
    if (i == 0 || (text[i - 1] != ' ' && text[i - 1] != '\t')) return false;
    *digits_at = i;
    return true;
}

// The mallinfo values differ from run to run; their lines keep the label and
// alignment with the number replaced by "N" (a non-number is left as is and
// fails the comparison).
inline std::vector<Call> mask_mallinfo(std::vector<Call> calls) {
    for (auto &c : calls) {
        size_t at;
        if (c.line >= 349 && c.line <= 358 && ends_in_int(c.text, &at))
            c.text = c.text.substr(0, at) + "N\n";
    }
    return calls;
}

inline std::vector<Call> callback_report(const Counters &c, unsigned ppid, unsigned pid) {
    const std::string r = "pmem_statis_debug_rt";
    const std::string tab = "\t", t3 = "\t" + blanks(3), tt3 = "\t\t" + blanks(3);
    std::vector<Call> out = {
        {r, 344, std::string(30, '-') + "BEGIN" + std::string(34, '-') + "\n"},
        {r, 345,
         std::string(11, '-') + "ppid:" + num(ppid) + " pid:" + num(pid) + std::string(18, '-') +
             "\n"},
        {r, 346, std::string(13, '=') + "mallinfo()" + std::string(17, '=') + "\n"},
        {r, 349, "Total non-mmapped bytes (arena):" + t3 + "N\n"},
        {r, 350, "# of free chunks (ordblks):" + blanks(1) + tt3 + "N\n"},
        {r, 351, "# of free fastbin blocks (smblks):" + t3 + "N\n"},
        {r, 352, "# of mapped regions (hblks):" + tt3 + "N\n"},
        {r, 353, "Bytes in mapped regions (hblkhd):" + t3 + "N\n"},
        {r, 354, "Max. total allocated space (usmblks):" + blanks(2) + "N\n"},
        {r, 355, "Free bytes held in fastbins (fsmblks):" + blanks(1) + "N\n"},
        {r, 356, "Total allocated space (uordblks):" + t3 + "N\n"},
        {r, 357, "Total free space (fordblks):" + tt3 + "N\n"},
        {r, 358, "Topmost releasable block (keepcost):" + blanks(3) + "N\n"},
        {r, 359, std::string(13, '=') + "module_statis" + std::string(17, '=') + "\n"},
        {r, 361, "pool_statis:\n"},
    };
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
        out.push_back({r, 366,
                       pool_row(pool_name(p), c.pools[p].alloc_count, c.pools[p].free_count,
                                c.pools[p].fail_count)});
    out.push_back({r, 373, "module_statis:\n"});
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        const module_statis &st = c.modules[m];
        out.push_back({r, 378, module_row(m, st)});
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
            out.push_back({r, 384, counts3(st.alloc_count[p], st.free_count[p], st.fail_count[p])});
    }
    out.push_back({r, 391, summary(c)});
    return out;
}

inline std::string read_file(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

// Compares line by line so a failure names the first differing line.
inline ::testing::AssertionResult same_text(const std::string &actual,
                                            const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t line = 1, i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        if (actual[i++] == '\n') line++;
    auto line_at = [](const std::string &s, size_t pos) {
        size_t b = s.rfind('\n', pos == 0 ? 0 : pos - 1);
        b = b == std::string::npos ? 0 : b + 1;
        return s.substr(b, s.find('\n', b) - b);
    };
    return ::testing::AssertionFailure()
           << "texts differ at line " << line << "\n  actual:   [" << line_at(actual, i)
           << "]\n  expected: [" << line_at(expected, i) << "]";
}

}  // namespace pmem_text

#endif
