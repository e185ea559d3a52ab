// The binding-independent half of the platform seam.
#include "platform/ap_sys.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

bool ap_sys_marker_exists() {
    const char *path = ap_sys_marker_path();
    return path && access(path, F_OK) == 0;
}

bool ap_sys_in_libc(const void *fn) {
    // By the object that defines it, not by name: some allocators define
    // glibc's internal names (__libc_malloc ...) as well as the plain ones.
    // None defines gnu_get_libc_version.
    Dl_info libc, its;
    return dladdr(reinterpret_cast<const void *>(&gnu_get_libc_version), &libc) &&
           dladdr(fn, &its) && its.dli_fbase == libc.dli_fbase;
}

bool ap_sys_malloc_redirected() {
    return dl_iterate_phdr(
               [](dl_phdr_info *info, size_t, void *) {
                   // Every tool loads vgpreload_core; those that replace
                   // malloc load one of their own beside it.
                   const char *tool =
                       info->dlpi_name ? strstr(info->dlpi_name, "/vgpreload_") : nullptr;
                   return int(tool && strncmp(tool, "/vgpreload_core", 15) != 0);
               },
               nullptr) != 0;
}

void ap_sys_madvise_pages(void *ptr, size_t size) {
    // Asked each time: a function-local static would need the C++ runtime's
    // guard, and this runs once per released block at most.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(ptr) + page - 1) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(ptr) + size) & ~(page - 1);
    // Advice only: a refusal leaves the pages resident, which costs memory,
    // never correctness.
    if (first < last) madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
}

uint64_t ap_sys_coarse_clock_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
