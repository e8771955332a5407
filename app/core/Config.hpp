#pragma once

#include "common/Protocol.hpp"

#include <filesystem>
#include <string_view>

// The application's fixed names, paths, intervals, defaults and settings keys.
namespace torvane::Config {

inline constexpr std::string_view appName = "Torvane";

// Shared with the daemon; the platform's table is picked by the build.
extern const std::string_view supportDir;

inline constexpr double pollInterval = 0.25;
inline constexpr double heartbeatInterval = protocol::heartbeatSeconds;
inline constexpr int defaultBatteryFloor = 20;
inline constexpr int defaultHeatLimit = 90;
// The ranges the menu offers. A stored value outside them counts as the default: a floor of 5 % or a
// limit of 120 °C would leave the guard with nothing to guard.
inline constexpr int minBatteryFloor = 10, maxBatteryFloor = 40;
inline constexpr int minHeatLimit = 75, maxHeatLimit = 95;
// How far below the heat limit the temperature must fall before carry mode may come back.
inline constexpr int heatRecoveryMargin = 10;
// Every tmux session quiet this long: the work is done.
inline constexpr long long workDoneAfterSeconds = 600;

// The log file, computed on every access (the home and state directories may change).
std::filesystem::path logPath();

namespace Key {
inline constexpr std::string_view batteryFloor = "batteryFloor";
inline constexpr std::string_view paused = "paused";
inline constexpr std::string_view heatLimit = "heatLimit";
inline constexpr std::string_view releaseWhenIdle = "releaseWhenIdle";
// The token for scripts on this machine (t= or X-Token); phones have keys of their own.
inline constexpr std::string_view serverToken = "serverToken";
// true: the token lets in requests from the network too, not only from this machine. Off unless set.
inline constexpr std::string_view plainToken = "plainToken";
// The paired phones, the revoked ones and the pairing codes not yet used (PhoneRegistry).
inline constexpr std::string_view phones = "phones";
inline constexpr std::string_view revokedPhones = "revokedPhones";
inline constexpr std::string_view pairingCodes = "pairingCodes";
// Whether the phone link is on, and the port it listened on, so a restart comes back the same.
inline constexpr std::string_view phoneLink = "phoneLink";
inline constexpr std::string_view phoneLinkPort = "phoneLinkPort";
// Where the phone link listens: "lan" (unset: the LAN addresses the pairing URL offers, and loopback),
// "all", "loopback", or addresses, comma separated (app/phone/LocalAddress.hpp, ListenPlan).
inline constexpr std::string_view listenAddresses = "listenAddresses";
// Phone notifications (app/push): an ntfy topic URL, and/or a command as a JSON array of strings (the
// message on its standard input); notifyOff keeps both but sends nothing. notifyScreenLines (0-20, 0
// unless set) adds that many of the session's last screen lines; notifyDesktop also shows `input` on
// the desktop (off unless set: the laptop is usually in a bag).
inline constexpr std::string_view notifyURL = "notifyURL";
inline constexpr std::string_view notifyCommand = "notifyCommand";
inline constexpr std::string_view notifyOff = "notifyOff";
inline constexpr std::string_view notifyScreenLines = "notifyScreenLines";
inline constexpr std::string_view notifyDesktop = "notifyDesktop";
} // namespace Key

} // namespace torvane::Config
