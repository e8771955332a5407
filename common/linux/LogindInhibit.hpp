#pragma once

#include "common/UniqueFd.hpp"

#include <string>
#include <variant>

namespace sdbus {
class IProxy;
} // namespace sdbus

// logind's Manager.Inhibit, as both programs call it: the app on a connection it keeps, the daemon on
// one per request.
namespace torvane::logind {

inline constexpr const char* service = "org.freedesktop.login1";
inline constexpr const char* objectPath = "/org/freedesktop/login1";
inline constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

struct InhibitFailure {
    int code;            // the negative errno; -ENOENT when the bus has no logind
    std::string message; // the D-Bus error's message, or the system's text
};

// The lock's fd, close-on-exec so that no child process keeps the lock alive; or why there is none.
std::variant<UniqueFd, InhibitFailure> inhibit(sdbus::IProxy& manager, const std::string& what,
                                               const std::string& who, const std::string& why,
                                               const std::string& mode);

// The negative errno that a D-Bus error name stands for; names that say the service is not there
// count as -ENOENT.
int errnoOfDbusError(const std::string& name);

} // namespace torvane::logind
