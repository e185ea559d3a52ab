#include "reports/report_text.h"

#include <malloc.h>
#include <time.h>
#include <unistd.h>

FILE *report_open(const char *path, const char *mode) {
    if (!path) return nullptr;
    return fopen(path, mode);
}

void report_close(FILE *f) {
    fflush(f);
    fclose(f);
}

void report_timestamp(FILE *f) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    fprintf(f, "\n%04d-%02d-%02d %02d:%02d:%02d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
            tm.tm_hour, tm.tm_min, tm.tm_sec);
}

unsigned report_pid() {
    return static_cast<unsigned>(getpid());
}
unsigned report_ppid() {
    return static_cast<unsigned>(getppid());
}

bool report_temp_name(char (&tmp)[PATH_MAX], const char *path) {
    const int n = snprintf(tmp, sizeof tmp, "%s.%u.tmp", path, report_pid());
    return n > 0 && size_t(n) < sizeof tmp;
}

void report_head_rt(app_log_rt_fn log, const char *routine, int first_line,
                    const report_mallinfo_labels &labels) {
    log(routine, first_line, kReportBeginLine);
    log(routine, first_line + 1, "-----------ppid:%u pid:%u------------------\n", report_ppid(),
        report_pid());
    log(routine, first_line + 2, "=============mallinfo()=================\n");
    // The texts print the int fields by design; glibc marks mallinfo
    // deprecated in favour of mallinfo2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct mallinfo mi = mallinfo();
#pragma GCC diagnostic pop
    const int fields[10] = {mi.arena,   mi.ordblks, mi.smblks,   mi.hblks,    mi.hblkhd,
                            mi.usmblks, mi.fsmblks, mi.uordblks, mi.fordblks, mi.keepcost};
    for (int k = 0; k < 10; k++)
        log(routine, first_line + 5 + k, labels.format[k], fields[k]);
    log(routine, first_line + 15, "=============module_statis=================\n");
}
