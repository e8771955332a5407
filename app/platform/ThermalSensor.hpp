#pragma once

#include <optional>

namespace torvane {

// The laptop's temperature, read afresh on every call.
class ThermalSensor {
public:
    virtual ~ThermalSensor() = default;

    // Whole degrees Celsius; nullopt when there is no sensor or none can be read.
    virtual std::optional<int> celsius() = 0;
    // False where the platform offers no way to read one at all.
    virtual bool supported() const { return true; }
};

} // namespace torvane
