#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// The user's persistent settings (battery floor, pause, server token). Implementations are
// thread-safe: the phone link reads the token from its own thread.
class Settings {
public:
    virtual ~Settings() = default;

    virtual std::optional<long long> integer(std::string_view key) const = 0;
    virtual std::optional<bool> boolean(std::string_view key) const = 0;
    virtual std::optional<std::string> string(std::string_view key) const = 0;

    // True when the value is stored for good; false when it could not be saved and holds only until
    // the program ends (reads give it back meanwhile).
    virtual bool setInteger(std::string_view key, long long value) = 0;
    virtual bool setBoolean(std::string_view key, bool value) = 0;
    virtual bool setString(std::string_view key, std::string_view value) = 0;

    // Runs `change` while no other process runs an `exclusive` of the same settings, so that a
    // read-modify-write in it (the phone list, changed by the app and the command line) loses nothing.
    // Settings of this process alone need no more than the caller's own lock.
    virtual void exclusive(const std::function<void()>& change) { change(); }
};

} // namespace torvane
