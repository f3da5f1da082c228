// Time and thread-name helpers for the gateway's message prefix. Compiled
// into the library for its own use; not exported.
#pragma once

#include <string>

namespace korv::vexatools::vexa2lumolib_wirefast {

// UTC date and time of `seconds` since 1970-01-01T00:00:00 UTC as
// "YYYY-MM-DDTHH:MM:SS" followed by the fraction of the second with at most
// `precision` significant digits and no trailing zeros (".5", ".05",
// ".123457"); no fraction when it is 0 or rounds to a whole second.
std::string IsoTime(double seconds, unsigned char precision);
// IsoTime of the system clock's current time; a negative precision counts as 0.
std::string IsoTimeNow(signed char precision);
// Name of the calling thread; empty when it cannot be read.
std::string ThreadName();
// "<IsoTimeNow(6)>:<file>:<line>:<function>:<ThreadName()>".
std::string LocationPrefix(const char* file, int line, const char* function);

}  // namespace korv::vexatools::vexa2lumolib_wirefast
