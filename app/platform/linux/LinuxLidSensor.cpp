#include "app/platform/linux/LinuxLidSensor.hpp"

#include "app/platform/linux/SysfsText.hpp"

#include <system_error>

namespace torvane {

LinuxLidSensor::LinuxLidSensor(std::filesystem::path acpiLidRoot) : acpiLidRoot_(std::move(acpiLidRoot)) {}

bool LinuxLidSensor::lidClosed() {
    if (const std::optional<bool> closed = bus_.lidClosed())
        return *closed;
    return acpiSaysClosed();
}

bool LinuxLidSensor::acpiSaysClosed() const {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(acpiLidRoot_, ec), end; !ec && it != end; it.increment(ec)) {
        // The file reads "state:      closed" (or "open").
        const std::optional<std::string> state = sysfs::readAttribute(it->path() / "state");
        if (state && state->starts_with("state:") && state->ends_with("closed"))
            return true;
    }
    return false;
}

} // namespace torvane
