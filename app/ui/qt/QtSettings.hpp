#pragma once

#include "app/core/Settings.hpp"
#include "common/Clock.hpp"

#include <QVariant>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sys/types.h>

namespace torvane {

// The user's settings in an INI file (~/.config/torvane/torvane.conf by default), under one mutex: the
// phone link reads from its own thread. Reads come from the file's contents as last read, read again
// through a QSettings of their own whenever the file's identity, size or modification time differs
// from then, so a hand edit is seen at the next read and an evaluation's reads cost a stat each.
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
    // Under an flock of a file beside the settings ("torvane.conf.flock"), which every process takes.
    void exclusive(const std::function<void()>& change) override;

private:
    QVariant value(std::string_view key) const; // under the mutex
    bool store(std::string_view key, const QVariant& value);

    // Which file, of what size and time, the values were read from; all zero for no file.
    struct FileVersion {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        SystemTime modified{};
        bool operator==(const FileVersion&) const = default;
    };

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::mutex exclusiveMutex_;               // the flock is the process's: its threads take turns here first
    mutable std::optional<FileVersion> read_; // none: read at the next call
    mutable std::map<std::string, QVariant, std::less<>> values_;
    // What could not be written (a full or read-only disk): read from here for this run, and written
    // along with the next save that succeeds.
    std::map<std::string, QVariant, std::less<>> unsaved_;
};

} // namespace torvane
