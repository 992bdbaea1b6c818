#include "keinstr/utils/rwlock.hpp"

namespace keinstr {

void RwLock::lock_shared() {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return !exclusive_; });
    ++readers_;
}

bool RwLock::try_lock_shared() {
    std::lock_guard lk(m_);
    if (exclusive_) return false;
    ++readers_;
    return true;
}

void RwLock::unlock_shared() {
    {
        std::lock_guard lk(m_);
        --readers_;
    }
    cv_.notify_all();
}

void RwLock::lock_upgradable() {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return !exclusive_ && !upgradable_; });
    upgradable_ = true;
}

bool RwLock::try_lock_upgradable() {
    std::lock_guard lk(m_);
    if (exclusive_ || upgradable_) return false;
    upgradable_ = true;
    return true;
}

void RwLock::unlock_upgradable() {
    {
        std::lock_guard lk(m_);
        upgradable_ = false;
    }
    cv_.notify_all();
}

void RwLock::upgrade(std::size_t own_shared) {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return readers_ <= own_shared; });
    upgradable_ = false;
    exclusive_ = true;
}

void RwLock::downgrade_to_upgradable() {
    {
        std::lock_guard lk(m_);
        exclusive_ = false;
        upgradable_ = true;
    }
    cv_.notify_all();
}

void RwLock::lock() {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return !exclusive_ && !upgradable_ && readers_ == 0; });
    exclusive_ = true;
}

bool RwLock::try_lock() {
    std::lock_guard lk(m_);
    if (exclusive_ || upgradable_ || readers_ != 0) return false;
    exclusive_ = true;
    return true;
}

void RwLock::unlock() {
    {
        std::lock_guard lk(m_);
        exclusive_ = false;
    }
    cv_.notify_all();
}

std::size_t RwLock::shared_count() const {
    std::lock_guard lk(m_);
    return readers_;
}

}  // namespace keinstr
