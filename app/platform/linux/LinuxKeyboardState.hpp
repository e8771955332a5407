#pragma once

#include "app/platform/KeyboardState.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace torvane {

// Caps Lock from the keyboard LEDs when the machine has a Caps Lock LED, else from the X server's
// XKB lock state, else off. The X connection is opened once and shared by every caller under a
// mutex; a server that goes away is noticed and reconnected to later, it never ends the process.
class LinuxKeyboardState final : public KeyboardState {
public:
    // `display`: an X display name, or nullopt for $DISPLAY. After a failed connection attempt the
    // next one waits `reconnectInterval`, so a missing server costs nothing on the 0.25 s poll.
    explicit LinuxKeyboardState(std::filesystem::path ledsRoot = "/sys/class/leds",
                                std::optional<std::string> display = std::nullopt,
                                std::chrono::milliseconds reconnectInterval = std::chrono::seconds(5));
    ~LinuxKeyboardState() override;
    LinuxKeyboardState(const LinuxKeyboardState&) = delete;
    LinuxKeyboardState& operator=(const LinuxKeyboardState&) = delete;

    bool capsLockOn() override;

    // Any "*::capslock" LED's brightness above 0; nullopt when there is no readable such LED.
    std::optional<bool> ledState() const;
    // The XKB Caps Lock (the Lock modifier latched on); nullopt without a usable X server.
    std::optional<bool> xkbState();

private:
    struct XConnection;

    std::filesystem::path ledsRoot_;
    std::optional<std::string> display_;
    std::chrono::milliseconds reconnectInterval_;

    std::mutex mutex_;
    std::unique_ptr<XConnection> x_;
    std::optional<std::chrono::steady_clock::time_point> lastFailedConnect_;
};

} // namespace torvane
