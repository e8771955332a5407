#pragma once

#include "app/core/Settings.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// A whole-number setting that must lie within a range. Anything else stored under the key counts as the
// default, with one warning per offending value (not one per read), handed back for the caller to log
// where it belongs among its own lines. Not thread-safe: one reader.
class RangedSetting {
public:
    struct Value {
        int value;
        std::optional<std::string> warning; // a log line, at the first read of an offending value
    };

    RangedSetting(std::string_view key, int low, int high, int fallback)
        : key_(key), low_(low), high_(high), fallback_(fallback) {}

    Value read(const Settings& settings) const;

private:
    std::string_view key_;
    int low_, high_, fallback_;
    mutable std::optional<std::string> warned_; // the value last warned about
};

} // namespace torvane
