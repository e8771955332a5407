#pragma once

#include <string_view>

// The two files that are the only channel between the app and the daemon, and their timing.
// Both platforms' tables are always compiled so that each can be checked anywhere.
namespace torvane::protocol {

struct SharedPaths {
    std::string_view supportDir;
    std::string_view helperLogPath;     // where the service manager collects the daemon's stderr
    std::string_view installedHelper;   // root-owned copy the service runs
    std::string_view serviceDefinition; // launchd plist or systemd unit
};

inline constexpr SharedPaths macosPaths{
    "/Library/Application Support/Torvane",
    "/var/log/torvane-helper.log",
    "/Library/PrivilegedHelperTools/torvane-helper",
    "/Library/LaunchDaemons/jp.local.torvane.helper.plist",
};

inline constexpr SharedPaths linuxPaths{
    "/var/lib/torvane",
    "/var/log/torvane-helper.log",
    "/usr/local/libexec/torvane/torvane-helper",
    "/etc/systemd/system/jp.local.torvane.helper.service",
};

inline constexpr std::string_view requestFileName = "request";
inline constexpr std::string_view ackFileName = "ack";
inline constexpr std::string_view requestWanted = "1";
inline constexpr std::string_view requestNotWanted = "0";
inline constexpr std::string_view ackContent = "ok";

inline constexpr std::string_view helperLabel = "jp.local.torvane.helper";

inline constexpr double staleSeconds = 15.0;       // a request unchanged this long no longer counts
inline constexpr double pollSeconds = 2.0;         // daemon tick
inline constexpr double heartbeatSeconds = 5.0;    // app rewrites "1" this often
inline constexpr double ackAgeLimitSeconds = 15.0; // ack this old or older: daemon not responding
inline constexpr double ackHeldSeconds = 5.0;      // the lid counts as held on an ack this recent
inline constexpr double ackLookSeconds = 1.0;      // how often the app looks at the ack while it counts

// The daemon reads no more than this of a request; anything larger is not a request.
inline constexpr std::size_t maxRequestBytes = 4096;

} // namespace torvane::protocol
