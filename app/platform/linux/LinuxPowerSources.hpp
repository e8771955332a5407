#pragma once

#include "app/platform/PowerSources.hpp"

#include <filesystem>

namespace torvane {

// The supplies under the power_supply class directory, in name order, described with the keys that
// PowerState reads: the system batteries together become one "InternalBattery" (in the first one's
// place) with their summed capacities and the machine's "Power Source State", left out when no supply
// and no battery status says where the power comes from; every other supply keeps its own type text, a
// mains or USB one that has an online value with "Power Source State" "AC Power" or "Off Line".
class LinuxPowerSources final : public PowerSources {
public:
    explicit LinuxPowerSources(std::filesystem::path root = "/sys/class/power_supply");

    PowerSnapshot snapshot() override;

private:
    std::filesystem::path root_;
};

} // namespace torvane
