#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kecore/ext/kelog/impl.hpp"
#include "kecore/ext/kelog/log.hpp"
#include "kecore/utils/local_time.hpp"

namespace kecore {
namespace {

TEST(LogLevelEXT, TextsValuesAndOrder) {
    const std::vector<std::pair<std::uint32_t, std::string>> levels = {
        {0, "Trace"}, {1, "Debug"}, {2, "Info"}, {3, "Warn"}, {4, "Error"}};
    for (const auto& [value, text] : levels) {
        auto level = log_level_from_value(value);
        ASSERT_TRUE(level);
        EXPECT_EQ(static_cast<std::uint32_t>(*level), value);
        EXPECT_EQ(to_string(*level), text);
    }
    EXPECT_FALSE(log_level_from_value(5));
    EXPECT_FALSE(log_level_from_value(0xFFFFFFFFu));
    EXPECT_LT(LogLevelEXT::Trace, LogLevelEXT::Debug);
    EXPECT_LT(LogLevelEXT::Debug, LogLevelEXT::Info);
    EXPECT_LT(LogLevelEXT::Info, LogLevelEXT::Warn);
    EXPECT_LT(LogLevelEXT::Warn, LogLevelEXT::Error);
}

TEST(NaiveDateTime, FractionUsesTheShortestOfThreeWidths) {
    const std::vector<std::pair<std::uint32_t, std::string>> cases = {
        {0, "2026-03-01 09:15:02"},
        {250'000'000, "2026-03-01 09:15:02.250"},
        {1'000'000, "2026-03-01 09:15:02.001"},
        {250'500'000, "2026-03-01 09:15:02.250500"},
        {1'000, "2026-03-01 09:15:02.000001"},
        {250'500'001, "2026-03-01 09:15:02.250500001"},
        {1, "2026-03-01 09:15:02.000000001"},
        {999'999'999, "2026-03-01 09:15:02.999999999"},
    };
    for (const auto& [nanos, text] : cases) {
        NaiveDateTime t{2026, 3, 1, 9, 15, 2, nanos};
        EXPECT_EQ(t.to_string(), text);
    }
    EXPECT_EQ((NaiveDateTime{7, 1, 2, 3, 4, 5, 0}).to_string(), "0007-01-02 03:04:05");
    EXPECT_EQ((NaiveDateTime{12345, 1, 2, 3, 4, 5, 0}).to_string(), "+12345-01-02 03:04:05");
    EXPECT_EQ((NaiveDateTime{-1, 1, 2, 3, 4, 5, 0}).to_string(), "-0001-01-02 03:04:05");
}

// Sets TZ for the scope of a test and restores it afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
    }
    ~ScopedTz() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(LocalTime, HonoursTzOnEveryCall) {
    // 2026-03-01 09:15:02.25 UTC
    const std::int64_t instant = 1772356502;
    {
        ScopedTz tz("UTC0");
        EXPECT_EQ(local_time_of(instant, 250'000'000).to_string(), "2026-03-01 09:15:02.250");
    }
    {
        ScopedTz tz("<+0530>-5:30");
        EXPECT_EQ(local_time_of(instant, 0).to_string(), "2026-03-01 14:45:02");
    }
    {
        ScopedTz tz("<-10>10");
        EXPECT_EQ(local_time_of(instant, 5'000).to_string(), "2026-02-28 23:15:02.000005");
    }
}

TEST(LogLine, FormatsLevelTimestampAndMessage) {
    LogMessageEXT record;
    record.level = LogLevelEXT::Info;
    record.timepoint = NaiveDateTime{2026, 3, 1, 9, 15, 2, 250'000'000};
    record.message = "hello";
    EXPECT_EQ(format_log_line(record), "[Info] 2026-03-01 09:15:02.250 - hello\n");
    record.level = LogLevelEXT::Warn;
    record.timepoint.nanosecond = 0;
    record.message = "";
    EXPECT_EQ(format_log_line(record), "[Warn] 2026-03-01 09:15:02 - \n");
}

class NullTarget final : public LogCallbackEXT::Target {
public:
    void call(LogMessageEXT) override {}
    const void* address() const noexcept override { return reinterpret_cast<const void*>(0x1234abcd); }
};

TEST(LogCreateInfoEXT, DebugText) {
    LogCreateInfoEXT info(LogLevelEXT::Warn, LogCallbackEXT(std::make_unique<NullTarget>()));
    EXPECT_EQ(info.callback.debug(), "LogCallbackEXT { 0: \"0x1234abcd\" }");
    EXPECT_EQ(info.debug(), "LogCreateInfoEXT { level: Warn, callback: LogCallbackEXT { 0: \"0x1234abcd\" } }");
}

}  // namespace
}  // namespace kecore
