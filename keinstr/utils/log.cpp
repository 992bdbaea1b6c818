#include "keinstr/utils/log.hpp"

#include <atomic>
#include <mutex>

namespace keinstr {

namespace {
// 0 = off; otherwise 1 + the lowest enabled level.
std::atomic<int> g_min_level{0};
std::mutex g_sink_mutex;
LogSink& sink() {
    static LogSink s;
    return s;
}
}  // namespace

bool log_enabled(std::string_view /*target*/, LogLevel level) noexcept {
    const int min = g_min_level.load(std::memory_order_relaxed);
    return min != 0 && static_cast<int>(level) + 1 >= min;
}

void set_log_level(std::optional<LogLevel> min_level) {
    g_min_level.store(min_level ? static_cast<int>(*min_level) + 1 : 0, std::memory_order_relaxed);
}

void set_log_sink(LogSink s) {
    std::lock_guard lk(g_sink_mutex);
    sink() = std::move(s);
}

void log_emit(std::string_view target, LogLevel level, std::string_view text) {
    std::lock_guard lk(g_sink_mutex);
    if (sink()) sink()(target, level, text);
}

}  // namespace keinstr
