#pragma once

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
};

} // namespace torvane
