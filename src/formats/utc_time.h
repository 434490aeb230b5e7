#pragma once

#include <cstdint>
#include <string>

namespace zavex {

// Seconds since 1970-01-01T00:00:00Z, without leap seconds.
using UtcSeconds = std::int64_t;

// Reads exactly "YYYY-MM-DDTHH:MM:SSZ" (years 1970 to 9999, a real day of
// the month, hours to 23, minutes and seconds to 59). False for anything else.
bool ParseUtcTimestamp(const std::string& text, UtcSeconds& seconds);

// The same layout; seconds from 0 to the end of 9999.
std::string FormatUtcTimestamp(UtcSeconds seconds);

}  // namespace zavex
