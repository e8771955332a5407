#include "app/platform/Platform.hpp"

#include <memory>

namespace torvane {

KeyboardState& KeyboardState::shared() {
    static const std::unique_ptr<KeyboardState> platformDefault = platform::makeKeyboardState();
    return *platformDefault;
}

PowerSources& PowerSources::shared() {
    static const std::unique_ptr<PowerSources> platformDefault = platform::makePowerSources();
    return *platformDefault;
}

} // namespace torvane
