// Calendar dates and times in UTC, reckoned here rather than by the C
// library, whose thread-safe calls differ between Windows and POSIX: the run
// report's times and a catalogue's expiry day read the same on every system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr std::int64_t seconds_per_day = 86400;

// A calendar time as UTC in ISO 8601 ("2026-12-08T08:30:00Z").
std::string utc_time_text(std::int64_t seconds);

// A date written exactly YYYY-MM-DD (a real day of the Gregorian calendar,
// year 1970 to 9999) as days since 1970-01-01. False, and `day` untouched,
// for anything else.
bool read_utc_date(std::string_view text, std::int64_t& day);
