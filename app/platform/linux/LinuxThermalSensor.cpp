#include "app/platform/linux/LinuxThermalSensor.hpp"

#include "app/platform/linux/SysfsText.hpp"

#include <algorithm>
#include <array>
#include <system_error>

namespace torvane {

namespace {

// A zone that is switched off or broken reads an error or a value no laptop reaches. Some drivers pass
// a negative errno through as the value: -1 is "operation not permitted", not a thousandth below zero.
bool plausible(std::int64_t milli) {
    const bool errorCode = milli < 0 && milli > -4096;
    return milli >= -40'000 && milli <= 150'000 && !errorCode;
}

} // namespace

LinuxThermalSensor::LinuxThermalSensor(std::filesystem::path root) : root_(std::move(root)) {}

bool LinuxThermalSensor::isProcessorZone(std::string_view type) {
    static constexpr std::array<std::string_view, 9> names{"x86_pkg_temp", "cpu-thermal", "cpu_thermal",
                                                           "coretemp",     "k10temp",     "zenpower",
                                                           "acpitz",       "TCPU",        "soc_thermal"};
    return std::find(names.begin(), names.end(), type) != names.end() || type.starts_with("cpu") ||
           type.starts_with("TCPU");
}

std::optional<int> LinuxThermalSensor::celsius() {
    std::optional<std::int64_t> processor, any;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().string().starts_with("thermal_zone"))
            continue;
        const std::optional<std::int64_t> milli = sysfs::readInteger(it->path() / "temp");
        if (!milli || !plausible(*milli))
            continue;
        any = std::max(any.value_or(*milli), *milli);
        const std::optional<std::string> type = sysfs::readAttribute(it->path() / "type");
        if (type && isProcessorZone(*type))
            processor = std::max(processor.value_or(*milli), *milli);
    }
    const std::optional<std::int64_t> chosen = processor ? processor : any;
    if (!chosen)
        return std::nullopt;
    // Millidegrees to whole degrees, halves up (a reading is never below -40 °C here).
    return static_cast<int>((*chosen + 50'500) / 1000 - 50);
}

} // namespace torvane
