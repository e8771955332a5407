#include "app/platform/Platform.hpp"
#include "app/platform/macos/CFHandle.hpp"

#include <IOKit/IOKitLib.h>

namespace torvane {

namespace {

class MacLidSensor final : public LidSensor {
public:
    bool lidClosed() override {
        const io_service_t rootDomain =
            IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("IOPMrootDomain"));
        if (rootDomain == 0)
            return false;
        const CFHandle<CFTypeRef> state(IORegistryEntryCreateCFProperty(
            rootDomain, CFSTR("AppleClamshellState"), kCFAllocatorDefault, 0));
        IOObjectRelease(rootDomain);
        return state && CFGetTypeID(state.get()) == CFBooleanGetTypeID() &&
               CFBooleanGetValue(static_cast<CFBooleanRef>(state.get()));
    }
};

} // namespace

std::unique_ptr<LidSensor> platform::makeLidSensor() {
    return std::make_unique<MacLidSensor>();
}

} // namespace torvane
