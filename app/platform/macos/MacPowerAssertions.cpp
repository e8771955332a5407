#include "app/platform/Platform.hpp"
#include "app/platform/macos/CFHandle.hpp"

#include <IOKit/pwr_mgt/IOPMLib.h>
#include <string>

namespace torvane {

namespace {

CFHandle<CFStringRef> makeString(std::string_view text) {
    return CFHandle<CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

class MacPowerAssertions final : public PowerAssertions {
public:
    AssertionResult create(std::string_view type, std::string_view name) override {
        const auto typeString = makeString(type);
        const auto nameString = makeString(name);
        IOPMAssertionID identifier = 0;
        const IOReturn result = IOPMAssertionCreateWithName(typeString.get(), kIOPMAssertionLevelOn,
                                                            nameString.get(), &identifier);
        return {.code = static_cast<std::int32_t>(result), .identifier = identifier};
    }

    void release(AssertionID identifier) override { IOPMAssertionRelease(identifier); }
};

} // namespace

std::unique_ptr<PowerAssertions> platform::makePowerAssertions() {
    return std::make_unique<MacPowerAssertions>();
}

} // namespace torvane
