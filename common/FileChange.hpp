#pragma once

#include "common/Clock.hpp"

#include <cstdint>
#include <optional>
#include <sys/stat.h>

namespace torvane {

// Seconds on a clock that only moves forward and keeps counting through suspend. Freshness between the
// app and the daemon is judged on it, so that a wall clock set back or forward changes nothing.
using BootSeconds = std::chrono::duration<double>;
using BootClock = std::function<BootSeconds()>;
BootSeconds bootNow();

// One version of a file: a rewrite by rename gives a new inode, a touch new times.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;

    static FileVersion of(const struct stat& st);
    bool operator==(const FileVersion&) const = default;
};

// When a file last changed, on the boot clock, told from repeated looks at it. A change is placed where
// the file's wall-clock age puts it, but never before the previous look (which saw the old version) nor
// after this one; an age outside that span (the wall clock stepped) places it at the previous look, as
// early as it can have been. At the first look only an age of zero or more counts: a time in the future
// makes nothing fresh until the file changes.
class FileChangeWatch {
public:
    // `version` is absent when the file is missing or cannot be read; `wallAge` is the seconds from the
    // file's modification time to the wall clock's now.
    void look(const std::optional<FileVersion>& version, double wallAge, BootSeconds now);

    // When the last change counted happened; absent when none does.
    std::optional<BootSeconds> changedAt() const { return changedAt_; }
    // Changed at most `seconds` before `now`.
    bool changedWithin(double seconds, BootSeconds now) const;

private:
    std::optional<FileVersion> version_;
    std::optional<BootSeconds> lastLook_;
    std::optional<BootSeconds> changedAt_;
};

} // namespace torvane
