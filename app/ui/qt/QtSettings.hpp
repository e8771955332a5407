#pragma once

#include "app/core/Settings.hpp"

#include <filesystem>
#include <mutex>

namespace torvane {

// The user's settings in an INI file (~/.config/torvane/torvane.conf by default). Each call opens the
// file through its own QSettings under one mutex: the phone link reads from its own thread, and a
// QSettings object must not be shared between threads.
class QtSettings final : public Settings {
public:
    explicit QtSettings(std::filesystem::path file = defaultFile());

    // $XDG_CONFIG_HOME/torvane/torvane.conf, or ~/.config/torvane/torvane.conf.
    static std::filesystem::path defaultFile();
    const std::filesystem::path& file() const { return file_; }

    std::optional<long long> integer(std::string_view key) const override;
    std::optional<bool> boolean(std::string_view key) const override;
    std::optional<std::string> string(std::string_view key) const override;
    void setInteger(std::string_view key, long long value) override;
    void setBoolean(std::string_view key, bool value) override;
    void setString(std::string_view key, std::string_view value) override;

private:
    std::filesystem::path file_;
    mutable std::mutex mutex_;
};

} // namespace torvane
