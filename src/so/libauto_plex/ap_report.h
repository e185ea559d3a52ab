// Pieces shared by the text reports (private header).  The reports' texts
// are part of the interface, so each component keeps its own literals; only
// what is identical everywhere lives here.
#ifndef LIBAUTO_PLEX_AP_REPORT_H
#define LIBAUTO_PLEX_AP_REPORT_H

#include <malloc.h>
#include <stdio.h>

// Opens a report file; null path or unopenable file gives null, and the
// caller then writes nothing.
FILE *ap_report_open(const char *path, const char *mode);
// Flushes and closes; write errors are not reported anywhere.
void ap_report_close(FILE *f);
// "\n%04d-%02d-%02d %02d:%02d:%02d\n" in local time: every file report
// starts with an empty line and this stamp.
void ap_report_timestamp(FILE *f);
unsigned ap_report_pid();
unsigned ap_report_ppid();
// One snapshot of glibc's allocator statistics (the int-field mallinfo,
// whose layout the report texts follow).
struct mallinfo ap_report_mallinfo();

#endif
