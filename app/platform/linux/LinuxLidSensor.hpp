#pragma once

#include "app/platform/LidSensor.hpp"
#include "app/platform/linux/LogindBus.hpp"

#include <filesystem>

namespace torvane {

// logind's LidClosed when logind answers, else any ACPI lid button whose state says "closed".
class LinuxLidSensor final : public LidSensor {
public:
    explicit LinuxLidSensor(std::filesystem::path acpiLidRoot = "/proc/acpi/button/lid");

    bool lidClosed() override;

    // The ACPI part alone.
    bool acpiSaysClosed() const;

private:
    LogindBus bus_;
    std::filesystem::path acpiLidRoot_;
};

} // namespace torvane
