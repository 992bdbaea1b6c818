#include "kecore/utils/local_time.hpp"

#include <fmt/format.h>

#include <ctime>

namespace kecore {

std::string NaiveDateTime::to_string() const {
    std::string out;
    if (year >= 0 && year <= 9999) {
        out = fmt::format("{:04}", year);
    } else {
        out = fmt::format("{:+05}", year);
    }
    out += fmt::format("-{:02}-{:02} {:02}:{:02}:{:02}", month, day, hour, minute, second);
    if (nanosecond == 0) return out;
    if (nanosecond % 1'000'000 == 0) {
        out += fmt::format(".{:03}", nanosecond / 1'000'000);
    } else if (nanosecond % 1'000 == 0) {
        out += fmt::format(".{:06}", nanosecond / 1'000);
    } else {
        out += fmt::format(".{:09}", nanosecond);
    }
    return out;
}

NaiveDateTime local_time_of(std::int64_t unix_seconds, std::uint32_t nanoseconds) {
    // Pick up a TZ changed since the last call.
    tzset();
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    NaiveDateTime out;
    out.nanosecond = nanoseconds;
    if (localtime_r(&t, &tm) == nullptr) {
        // No local conversion possible (out of range): keep UTC wall time.
        if (gmtime_r(&t, &tm) == nullptr) return out;
    }
    out.year = tm.tm_year + 1900;
    out.month = static_cast<std::uint32_t>(tm.tm_mon + 1);
    out.day = static_cast<std::uint32_t>(tm.tm_mday);
    out.hour = static_cast<std::uint32_t>(tm.tm_hour);
    out.minute = static_cast<std::uint32_t>(tm.tm_min);
    out.second = static_cast<std::uint32_t>(tm.tm_sec);
    return out;
}

NaiveDateTime local_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return local_time_of(static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec));
}

}  // namespace kecore
