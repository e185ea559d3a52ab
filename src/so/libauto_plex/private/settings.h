// The settings text, as the components and the preload reach it (private
// header).
//
// The reader sits above every component it configures, yet the environment
// must be read at the first init of any of them: each init, and each call
// that changes a setting, asks for it first.  Asking again is one load.
#ifndef LIBAUTO_PLEX_PRIVATE_SETTINGS_H
#define LIBAUTO_PLEX_PRIVATE_SETTINGS_H

#include <stddef.h>

// Reads AUTO_PLEX_CONF and the older variables once per process and applies
// them.  A call made while the reading is under way on the same thread (the
// reading applies values through the components' own calls) returns at once;
// other threads wait for it to finish.
void ap_settings_load_slow();
extern int g_ap_settings_state;  // 0: not read, 1: being read, 2: read

inline void ap_settings_load_once() {
    if (__atomic_load_n(&g_ap_settings_state, __ATOMIC_ACQUIRE) != 2) ap_settings_load_slow();
}

// The preload's report path ("" for none), copied into `out` of `size` bytes;
// false when it does not fit.
bool ap_settings_report_internal(char *out, size_t size);

#endif
