#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace keinstr {

// Reader-writer lock with three modes:
// - shared: any number of holders;
// - upgradable: one holder at a time, compatible with shared holders; it can be raised
//   to exclusive (waiting until the shared holders are gone) and lowered back;
// - exclusive: one holder, nobody else.
// Shared acquisition waits only while the lock is held exclusively, so a thread that
// already holds shared access can take it again without deadlock (writers may wait
// longer under constant read traffic).
class RwLock {
public:
    RwLock() = default;
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

    void lock_upgradable();
    bool try_lock_upgradable();
    void unlock_upgradable();
    // Upgradable -> exclusive. Waits until at most `own_shared` shared holders remain
    // (shared holds of the calling thread itself, which it cannot release while waiting).
    void upgrade(std::size_t own_shared = 0);
    // Exclusive (reached through upgrade) -> upgradable.
    void downgrade_to_upgradable();

    void lock();
    bool try_lock();
    void unlock();

    // Number of shared holders (for diagnostics and tests).
    std::size_t shared_count() const;

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::size_t readers_ = 0;
    bool upgradable_ = false;
    bool exclusive_ = false;
};

// RAII guard of shared access.
class SharedGuard {
public:
    explicit SharedGuard(RwLock& l) : lock_(&l) { l.lock_shared(); }
    SharedGuard(SharedGuard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)) {}
    SharedGuard& operator=(SharedGuard&& o) noexcept {
        if (this != &o) {
            release();
            lock_ = std::exchange(o.lock_, nullptr);
        }
        return *this;
    }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;
    ~SharedGuard() { release(); }
    void release() {
        if (lock_) std::exchange(lock_, nullptr)->unlock_shared();
    }
    bool owns() const noexcept { return lock_ != nullptr; }

private:
    RwLock* lock_;
};

// RAII guard of upgradable access, which can be raised to exclusive and lowered back.
class UpgradableGuard {
public:
    explicit UpgradableGuard(RwLock& l) : lock_(&l) { l.lock_upgradable(); }
    UpgradableGuard(UpgradableGuard&& o) noexcept
        : lock_(std::exchange(o.lock_, nullptr)), exclusive_(std::exchange(o.exclusive_, false)) {}
    UpgradableGuard(const UpgradableGuard&) = delete;
    UpgradableGuard& operator=(const UpgradableGuard&) = delete;
    UpgradableGuard& operator=(UpgradableGuard&&) = delete;
    ~UpgradableGuard() { release(); }

    void upgrade(std::size_t own_shared = 0) {
        if (lock_ && !exclusive_) {
            lock_->upgrade(own_shared);
            exclusive_ = true;
        }
    }
    void downgrade() {
        if (lock_ && exclusive_) {
            lock_->downgrade_to_upgradable();
            exclusive_ = false;
        }
    }
    void release() {
        if (!lock_) return;
        downgrade();
        std::exchange(lock_, nullptr)->unlock_upgradable();
    }
    bool is_exclusive() const noexcept { return exclusive_; }

private:
    RwLock* lock_;
    bool exclusive_ = false;
};

// RAII guard of exclusive access.
class ExclusiveGuard {
public:
    explicit ExclusiveGuard(RwLock& l) : lock_(&l) { l.lock(); }
    ExclusiveGuard(ExclusiveGuard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)) {}
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
    ~ExclusiveGuard() { release(); }
    void release() {
        if (lock_) std::exchange(lock_, nullptr)->unlock();
    }

private:
    RwLock* lock_;
};

}  // namespace keinstr
