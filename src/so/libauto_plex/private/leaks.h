// The leak list at exit (private header), for the settings code: where it
// goes, and the one exit handler that writes it (reports/leaks.cpp).
#ifndef LIBAUTO_PLEX_PRIVATE_LEAKS_H
#define LIBAUTO_PLEX_PRIVATE_LEAKS_H

// `where`: null, "" or "off" turns the list off, "stderr" sends it to
// stderr, anything else is a file to append it to; a relative path is taken
// from the working directory of this call, since a host may change directory
// before it exits.  The first call that turns the list on registers one exit
// handler, which writes pmem_leak_report's list if the list is still on by
// then.  Returns 0; -22 when the path, made absolute, does not fit in
// PATH_MAX bytes, a negated errno when the working directory cannot be read,
// -12 when the handler cannot be registered: the destination stays as it
// was then.
int ap_leak_report_at_exit_internal(const char *where);

// "off", "stderr" or the absolute path, for the settings listing.  The path
// is the library's copy: a caller that may race with a call above
// serialises the two itself (the settings code makes both under its lock).
const char *ap_leak_report_where_internal(void);

#endif
