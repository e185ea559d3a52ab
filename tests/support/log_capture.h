// Captures callback-report calls (routine, line, formatted text) so tests can
// compare whole reports, and reads/normalises file reports.
#ifndef AUTO_PLEX_TESTS_LOG_CAPTURE_H
#define AUTO_PLEX_TESTS_LOG_CAPTURE_H

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace log_capture {

struct Call {
    std::string routine;
    int line;
    std::string text;
};

inline std::vector<Call> &calls() {
    static std::vector<Call> v;
    return v;
}

inline int record(const char *routine, int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *text = nullptr;
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    calls().push_back({routine, line, n >= 0 ? text : "<format error>"});
    free(text);
    return 0;
}

// The concatenated text of all captured calls.
inline std::string joined() {
    std::string all;
    for (const Call &c : calls())
        all += c.text;
    return all;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Replaces every "\nYYYY-MM-DD HH:MM:SS\n" time stamp with "\n<time>\n".
inline std::string mask_time(const std::string &text) {
    static const char shape[] = "\n0000-00-00 00:00:00\n";
    const size_t len = sizeof shape - 1;
    auto is_stamp = [&](size_t at) {
        if (at + len > text.size()) return false;
        for (size_t i = 0; i < len; i++) {
            char c = text[at + i];
            if (shape[i] == '0' ? !(c >= '0' && c <= '9') : c != shape[i]) return false;
        }
        return true;
    };
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (is_stamp(i)) {
            out += "\n<time>\n";
            i += len;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// "ppid:%u pid:%u" as this process prints it.
inline std::string pids() {
    return "ppid:" + std::to_string(getppid()) + " pid:" + std::to_string(getpid());
}

inline std::string temp_path(const char *tag) {
    return ::testing::TempDir() + "auto_plex_" + tag + "_" + std::to_string(getpid()) + ".txt";
}

}  // namespace log_capture

#endif
