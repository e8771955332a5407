#include "app/platform/Platform.hpp"

namespace torvane {

namespace {

// macOS has no public interface for the machine's temperature.
class MacThermalSensor final : public ThermalSensor {
public:
    std::optional<int> celsius() override { return std::nullopt; }
    bool supported() const override { return false; }
};

} // namespace

std::unique_ptr<ThermalSensor> platform::makeThermalSensor() {
    return std::make_unique<MacThermalSensor>();
}

} // namespace torvane
