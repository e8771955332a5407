#include "common/FileChange.hpp"

#include <ctime>

namespace torvane {

namespace {

std::int64_t nanoseconds(const timespec& ts) {
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

BootSeconds bootNow() {
    timespec ts{};
#if defined(CLOCK_BOOTTIME)
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
#else // macOS: its monotonic clock goes on during sleep
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return BootSeconds(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

FileVersion FileVersion::of(const struct stat& st) {
#if defined(__APPLE__)
    return {st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtimespec), nanoseconds(st.st_ctimespec)};
#else
    return {st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
#endif
}

void FileChangeWatch::look(const std::optional<FileVersion>& version, double wallAge, BootSeconds now) {
    if (!version) {
        version_.reset();
        changedAt_.reset();
    } else if (version != version_) {
        const bool aged = wallAge >= 0;
        if (!lastLook_)
            changedAt_ = aged ? std::optional(now - BootSeconds(wallAge)) : std::nullopt;
        else if (aged && now - BootSeconds(wallAge) >= *lastLook_)
            changedAt_ = now - BootSeconds(wallAge);
        else
            changedAt_ = *lastLook_;
        version_ = version;
    }
    lastLook_ = now;
}

bool FileChangeWatch::changedWithin(double seconds, BootSeconds now) const {
    return changedAt_ && (now - *changedAt_).count() <= seconds;
}

} // namespace torvane
