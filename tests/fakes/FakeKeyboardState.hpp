#pragma once

#include "app/platform/KeyboardState.hpp"

#include <atomic>

namespace torvane::test {

class FakeKeyboardState final : public KeyboardState {
public:
    bool capsLockOn() override {
        ++reads;
        return on.load();
    }

    std::atomic<bool> on{false};
    std::atomic<int> reads{0};
};

} // namespace torvane::test
