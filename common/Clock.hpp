#pragma once

#include <chrono>
#include <functional>
#include <sys/stat.h>

namespace torvane {

using SystemTime = std::chrono::system_clock::time_point;

// Wall-clock source; file modification times are compared against it, so tests replace it.
using WallClock = std::function<SystemTime()>;

inline SystemTime systemNow() {
    return std::chrono::system_clock::now();
}

inline SystemTime toSystemTime(const timespec& ts) {
    using namespace std::chrono;
    return SystemTime{duration_cast<SystemTime::duration>(seconds{ts.tv_sec} + nanoseconds{ts.tv_nsec})};
}

// The modification time of a stat result, at full resolution.
inline SystemTime modificationTime(const struct stat& st) {
#if defined(__APPLE__)
    return toSystemTime(st.st_mtimespec);
#else
    return toSystemTime(st.st_mtim);
#endif
}

inline double secondsBetween(SystemTime earlier, SystemTime later) {
    return std::chrono::duration<double>(later - earlier).count();
}

} // namespace torvane
