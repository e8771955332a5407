#include "app/platform/Platform.hpp"

#include <atomic>
#include <memory>

namespace torvane {

namespace {

std::atomic<KeyboardState*> installedKeyboard{nullptr};
std::atomic<PowerSources*> installedSources{nullptr};

} // namespace

KeyboardState& KeyboardState::shared() {
    if (KeyboardState* installed = installedKeyboard.load())
        return *installed;
    static const std::unique_ptr<KeyboardState> platformDefault = platform::makeKeyboardState();
    return *platformDefault;
}

KeyboardState* KeyboardState::installShared(KeyboardState* keyboard) {
    return installedKeyboard.exchange(keyboard);
}

PowerSources& PowerSources::shared() {
    if (PowerSources* installed = installedSources.load())
        return *installed;
    static const std::unique_ptr<PowerSources> platformDefault = platform::makePowerSources();
    return *platformDefault;
}

PowerSources* PowerSources::installShared(PowerSources* sources) {
    return installedSources.exchange(sources);
}

} // namespace torvane
