#pragma once

#include "app/platform/LidSensor.hpp"

namespace torvane::test {

class FakeLidSensor final : public LidSensor {
public:
    bool lidClosed() override { return closed; }

    bool closed = false;
};

} // namespace torvane::test
