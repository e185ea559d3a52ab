// Earlier name of the library's C++ face, kept so that hosts that include it
// keep building.  New code includes libauto_plex.hpp.
#ifndef LIBAUTO_PLEX_AUTO_PLEX_HPP
#define LIBAUTO_PLEX_AUTO_PLEX_HPP

#include "libauto_plex.hpp"

#endif
