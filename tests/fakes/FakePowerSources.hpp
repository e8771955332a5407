#pragma once

#include "app/platform/PowerSources.hpp"

#include <mutex>

namespace torvane::test {

class FakePowerSources final : public PowerSources {
public:
    PowerSnapshot snapshot() override {
        const std::lock_guard lock(mutex_);
        return snapshot_;
    }
    void set(PowerSnapshot snapshot) {
        const std::lock_guard lock(mutex_);
        snapshot_ = std::move(snapshot);
    }

private:
    std::mutex mutex_;
    PowerSnapshot snapshot_;
};

} // namespace torvane::test
