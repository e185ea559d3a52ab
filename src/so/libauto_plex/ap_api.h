/* Linkage and visibility shared by every public header of libauto_plex.
 *
 * The library is built with hidden visibility: a function is part of the ABI
 * only when its declaration carries AP_API.  Everything declared here must
 * stay valid C11 as well as C++. */
#ifndef LIBAUTO_PLEX_AP_API_H
#define LIBAUTO_PLEX_AP_API_H

#if defined(__GNUC__)
#define AP_API __attribute__((visibility("default")))
#define AP_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define AP_API
#define AP_PRINTF_LIKE(fmt, first)
#endif

#ifdef __cplusplus
#define AP_BEGIN_DECLS extern "C" {
#define AP_END_DECLS }
#else
#define AP_BEGIN_DECLS
#define AP_END_DECLS
#endif

#endif
