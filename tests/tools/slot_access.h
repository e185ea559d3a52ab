// For tests that inspect pool memory the library has closed to the memory
// checkers (a released slot's header, the never-used slots of a block): opens
// the bytes to AddressSanitizer and memcheck before the test reads them.
#ifndef AUTO_PLEX_TESTS_SLOT_ACCESS_H
#define AUTO_PLEX_TESTS_SLOT_ACCESS_H

#include <stddef.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SLOT_ACCESS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define SLOT_ACCESS_ASAN 1
#endif
#endif
#if defined(AUTO_PLEX_VALGRIND) && __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define SLOT_ACCESS_VALGRIND 1
#endif

inline void slot_access_open(const void *p, size_t n) {
#ifdef SLOT_ACCESS_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef SLOT_ACCESS_VALGRIND
    VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
    (void)p, (void)n;
}

#endif
