#pragma once

#include "app/platform/KeyboardState.hpp"

#include <atomic>

namespace torvane::test {

class FakeKeyboardState final : public KeyboardState {
public:
    bool capsLockOn() override { return on.load(); }

    std::atomic<bool> on{false};
};

} // namespace torvane::test
