// Always-on contract checks for libauto_plex (private header).
//
// A broken contract in an allocator means memory is already, or is about to
// be, corrupted, so these checks ignore NDEBUG.  The failure line has the
// shape of the C library's assert ("prog: file:line: function: Assertion
// `cond' failed.") because hosts grep their logs for it; the condition text is
// the message, so callers write the condition exactly as it should read.
#ifndef LIBAUTO_PLEX_PLATFORM_AP_CHECK_H
#define LIBAUTO_PLEX_PLATFORM_AP_CHECK_H

[[noreturn, gnu::cold, gnu::noinline]] void ap_check_fail_internal(const char *cond,
                                                                   const char *file, unsigned line,
                                                                   const char *func);

// __func__ is taken at the expansion site so that the line names the public
// function that was misused, never a helper.  A check shared by several paths
// calls ap_check_fail_internal itself with the name of the function whose
// check it is (auto_plex_private.h).
#define LIBAP_CHECK(cond)                                                \
    do {                                                                 \
        if (__builtin_expect(!(cond), 0))                                \
            ap_check_fail_internal(#cond, __FILE__, __LINE__, __func__); \
    } while (0)

// For conditions whose required message is not the C++ spelling of the test
// (the message text is part of the interface and cannot always be valid C++).
#define LIBAP_CHECK_MSG(cond, msg)                                     \
    do {                                                               \
        if (__builtin_expect(!(cond), 0))                              \
            ap_check_fail_internal(msg, __FILE__, __LINE__, __func__); \
    } while (0)

#endif
