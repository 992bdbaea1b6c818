// Local wall-clock time without a zone, as log records carry it.
#pragma once

#include <cstdint>
#include <string>

namespace kecore {

// A calendar date and a time of day with nanoseconds, without a time zone.
struct NaiveDateTime {
    std::int32_t year = 1970;
    std::uint32_t month = 1;       // 1..12
    std::uint32_t day = 1;         // 1..31
    std::uint32_t hour = 0;        // 0..23
    std::uint32_t minute = 0;      // 0..59
    std::uint32_t second = 0;      // 0..60 (60 only for a leap second)
    std::uint32_t nanosecond = 0;  // 0..999'999'999

    bool operator==(const NaiveDateTime&) const = default;

    // "YYYY-MM-DD HH:MM:SS", then ".mmm" when the fraction is a whole number
    // of milliseconds, else ".uuuuuu" for whole microseconds, else
    // ".nnnnnnnnn"; nothing when the fraction is zero. Years outside 0..9999
    // carry their sign and at least four digits.
    std::string to_string() const;
};

// The local time of the UTC instant `unix_seconds` + `nanoseconds`: the zone
// comes from the environment variable TZ, else the system's zone settings,
// read afresh on every call.
NaiveDateTime local_time_of(std::int64_t unix_seconds, std::uint32_t nanoseconds);

// The local time now.
NaiveDateTime local_now();

}  // namespace kecore
