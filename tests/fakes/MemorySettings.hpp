#pragma once

#include "app/core/Settings.hpp"

#include <map>
#include <mutex>
#include <variant>

namespace torvane {

// Settings kept in memory only, for tests and benchmarks.
class MemorySettings final : public Settings {
public:
    std::optional<long long> integer(std::string_view key) const override;
    std::optional<bool> boolean(std::string_view key) const override;
    std::optional<std::string> string(std::string_view key) const override;
    bool setInteger(std::string_view key, long long value) override;
    bool setBoolean(std::string_view key, bool value) override;
    bool setString(std::string_view key, std::string_view value) override;

    bool failSaves = false; // every set holds only for this run, as with a full or read-only disk

private:
    using Value = std::variant<long long, bool, std::string>;
    template <class T> std::optional<T> get(std::string_view key) const;

    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> values_;
};

} // namespace torvane
