#pragma once

#include "app/platform/LidSensor.hpp"

namespace torvane::test {

class FakeLidSensor final : public LidSensor {
public:
    bool lidClosed() override {
        ++reads;
        return closed;
    }

    bool closed = false;
    int reads = 0;
};

} // namespace torvane::test
