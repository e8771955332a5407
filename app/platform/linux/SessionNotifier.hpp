#pragma once

#include "app/platform/Notifier.hpp"

#include <chrono>

namespace torvane {

// Notifications through org.freedesktop.Notifications on the session bus (DBUS_SESSION_BUS_ADDRESS).
class SessionNotifier final : public Notifier {
public:
    explicit SessionNotifier(std::chrono::milliseconds callTimeout = std::chrono::milliseconds(1000));

    void notify(std::string_view text) override;

private:
    std::chrono::milliseconds callTimeout_;
};

} // namespace torvane
