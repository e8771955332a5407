#include "app/platform/linux/SessionNotifier.hpp"

#include "app/core/Config.hpp"

#include <cstdint>
#include <map>
#include <sdbus-c++/sdbus-c++.h>
#include <vector>

namespace torvane {

SessionNotifier::SessionNotifier(std::chrono::milliseconds callTimeout) : callTimeout_(callTimeout) {}

void SessionNotifier::notify(std::string_view text) {
    // A connection per notification: they are rare, and a session bus that went away since the last
    // one is no concern then.
    try {
        const auto connection = sdbus::createSessionBusConnection();
        connection->setMethodCallTimeout(callTimeout_);
        const auto proxy = sdbus::createProxy(*connection, "org.freedesktop.Notifications",
                                              "/org/freedesktop/Notifications");
        const std::string appName(Config::appName);
        std::map<std::string, sdbus::Variant> hints{{"urgency", sdbus::Variant(std::uint8_t{2})}}; // critical
        std::uint32_t id = 0;
        proxy->callMethod("Notify")
            .onInterface("org.freedesktop.Notifications")
            .withArguments(appName, std::uint32_t{0}, std::string("dialog-warning"), appName,
                           std::string(text), std::vector<std::string>{}, hints, std::int32_t{-1})
            .storeResultsTo(id);
    } catch (const sdbus::Error&) {
        // No session bus or no notification service: the log line is all there is.
    }
}

} // namespace torvane
