#pragma once

#include "app/core/Settings.hpp"

#include <QVariant>
#include <filesystem>
#include <map>
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
    bool setInteger(std::string_view key, long long value) override;
    bool setBoolean(std::string_view key, bool value) override;
    bool setString(std::string_view key, std::string_view value) override;

private:
    QVariant value(std::string_view key) const; // under the mutex
    bool store(std::string_view key, const QVariant& value);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    // What could not be written (a full or read-only disk): read from here for this run, and written
    // along with the next save that succeeds.
    std::map<std::string, QVariant, std::less<>> unsaved_;
};

} // namespace torvane
