#include "ap_report.h"

#include <time.h>
#include <unistd.h>

FILE *ap_report_open(const char *path, const char *mode) {
    if (!path) return nullptr;
    return fopen(path, mode);
}

void ap_report_close(FILE *f) {
    fflush(f);
    fclose(f);
}

void ap_report_timestamp(FILE *f) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    fprintf(f, "\n%04d-%02d-%02d %02d:%02d:%02d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
            tm.tm_hour, tm.tm_min, tm.tm_sec);
}

unsigned ap_report_pid() {
    return static_cast<unsigned>(getpid());
}
unsigned ap_report_ppid() {
    return static_cast<unsigned>(getppid());
}

struct mallinfo ap_report_mallinfo() {
    // The reports print the int fields by design (their texts are fixed);
    // glibc marks mallinfo deprecated in favour of mallinfo2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return mallinfo();
#pragma GCC diagnostic pop
}
