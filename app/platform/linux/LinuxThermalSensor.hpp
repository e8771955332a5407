#pragma once

#include "app/platform/ThermalSensor.hpp"

#include <filesystem>
#include <string_view>

namespace torvane {

// The thermal zones of the thermal class directory: the highest of the CPU and package zones, or of
// every zone when there are none of those.
class LinuxThermalSensor final : public ThermalSensor {
public:
    explicit LinuxThermalSensor(std::filesystem::path root = "/sys/class/thermal");

    std::optional<int> celsius() override;

    static bool isProcessorZone(std::string_view type);

private:
    std::filesystem::path root_;
};

} // namespace torvane
