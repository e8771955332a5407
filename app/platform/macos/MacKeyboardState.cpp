#include "app/platform/Platform.hpp"

#include <ApplicationServices/ApplicationServices.h>

namespace torvane {

namespace {

class MacKeyboardState final : public KeyboardState {
public:
    bool capsLockOn() override {
        // The hardware state, independent of any event; 0x10000 is the Caps Lock flag.
        return (CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState) & 0x10000) != 0;
    }
};

} // namespace

std::unique_ptr<KeyboardState> platform::makeKeyboardState() {
    return std::make_unique<MacKeyboardState>();
}

} // namespace torvane
