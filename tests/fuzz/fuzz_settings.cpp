// The settings text under arbitrary input: whatever a host passes, the call
// returns 0 or -22 with a terminated message, and what is then in force lists
// as a text that applies cleanly and lists the same again.
//
// As a test: "--random COUNT SEED" texts built from the keys, values and
// separators the parser knows plus random bytes.  With -DAUTO_PLEX_FUZZ=ON the
// same check is a libFuzzer target.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "ap_settings.h"

namespace {

void check(const std::string &text) {
    char message[96];
    memset(message, 'x', sizeof message);
    const int rc = auto_plex_configure(text.c_str(), message, sizeof message);
    if ((rc != 0 && rc != -22) || !memchr(message, '\0', sizeof message) ||
        (rc == 0 && message[0])) {
        fprintf(stderr, "configure(\"%s\") = %d, message \"%.*s\"\n", text.c_str(), rc,
                int(sizeof message), message);
        abort();
    }
    char listed[4096], again[4096];
    auto_plex_settings(listed, sizeof listed);
    if (auto_plex_configure(listed, message, sizeof message) != 0 ||
        (auto_plex_settings(again, sizeof again), strcmp(listed, again) != 0)) {
        fprintf(stderr, "after \"%s\": \"%s\" does not apply as itself: %s\n", text.c_str(), listed,
                message);
        abort();
    }
    // Nothing is left to write at exit, wherever the text pointed the list.
    auto_plex_configure("leak_report=off", nullptr, 0);
}

}  // namespace

#ifdef AUTO_PLEX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check(std::string(reinterpret_cast<const char *>(data), size).c_str());
    return 0;
}
#else
int main(int argc, char **argv) {
    if (argc != 4 || strcmp(argv[1], "--random") != 0) {
        fprintf(stderr, "usage: %s --random COUNT SEED\n", argv[0]);
        return 2;
    }
    // clang-format off
    static const char *const kPieces[] = {"release", "release_delay_ms", "release_slack", "report",
        "leak_report", "poison", "pmem_limit", "fail_every", "fail_permille", "fail_seed",
        "fail_times", "fail_min_size", "fail_pmem_module", "fail_pmem_pool", "fail_plex",
        "fail_statis_module", "=", "=", ",", ",", " ", "delay", "pages", "trim", "on", "off",
        "stderr", "0", "1", "7", "1000", "1001", "3600000", "18446744073709551615",
        "99999999999999999999", "k", "m", "g", "net_rx", ":", "pmem_pool_64", "26", "27", "-1"};
    // clang-format on
    std::mt19937_64 rng(strtoull(argv[3], nullptr, 10));
    for (unsigned long n = strtoul(argv[2], nullptr, 10); n--;) {
        std::string text;
        for (unsigned pieces = 1 + rng() % 12; pieces--;)  // a known piece, or one random byte
            text += rng() % 8 ? kPieces[rng() % std::size(kPieces)]
                              : std::string(1, char(1 + rng() % 255));
        check(text);
    }
    return 0;
}
#endif
