#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "keinstr/utils/log.hpp"
#include "keinstr/utils/rwlock.hpp"

using namespace keinstr;
using namespace std::chrono_literals;

TEST(RwLock, ModesAndCompatibility) {
    RwLock l;
    {
        SharedGuard a(l);
        SharedGuard b(l);  // recursive shared is fine
        EXPECT_EQ(l.shared_count(), 2u);
        EXPECT_TRUE(l.try_lock_upgradable());   // upgradable is compatible with readers
        EXPECT_FALSE(l.try_lock_upgradable());  // but only one at a time
        EXPECT_FALSE(l.try_lock());
        l.unlock_upgradable();
    }
    {
        UpgradableGuard u(l);
        u.upgrade();
        EXPECT_TRUE(u.is_exclusive());
        EXPECT_FALSE(l.try_lock_shared());
        u.downgrade();
        EXPECT_TRUE(l.try_lock_shared());
        l.unlock_shared();
    }
    EXPECT_TRUE(l.try_lock());
    EXPECT_FALSE(l.try_lock_shared());
    l.unlock();
}

TEST(RwLock, UpgradeWaitsForOtherReadersOnly) {
    RwLock l;
    l.lock_shared();  // this thread's own hold
    std::atomic<bool> reader_done{false};
    std::thread reader([&] {
        SharedGuard g(l);
        std::this_thread::sleep_for(50ms);
        reader_done = true;
    });
    while (l.shared_count() < 2) std::this_thread::yield();
    l.lock_upgradable();
    l.upgrade(1);  // discounts our own shared hold, waits for the other reader
    EXPECT_TRUE(reader_done.load());
    l.downgrade_to_upgradable();
    l.unlock_upgradable();
    l.unlock_shared();
    reader.join();
}

TEST(Log, OffByDefaultAndLazy) {
    int built = 0;
    KEINSTR_LOG(kLogTargetTypes, LogLevel::Error, (++built, std::string("x")));
    EXPECT_EQ(built, 0);
    EXPECT_FALSE(log_enabled(kLogTargetParser, LogLevel::Error));

    std::vector<std::string> seen;
    set_log_sink([&](std::string_view target, LogLevel level, std::string_view text) {
        seen.push_back(std::string(target) + "/" + std::to_string(static_cast<int>(level)) + "/" + std::string(text));
    });
    set_log_level(LogLevel::Info);
    KEINSTR_LOG(kLogTargetTypes, LogLevel::Debug, (++built, std::string("hidden")));
    KEINSTR_LOG(kLogTargetParser, LogLevel::Warn, (++built, std::string("shown")));
    set_log_level(std::nullopt);
    set_log_sink(nullptr);
    EXPECT_EQ(built, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "keinstr::modules::parser/3/shown");
}
