#pragma once

#include "helper/Constants.hpp"

#include <cmath>
#include <string>
#include <string_view>

// Every line the daemon logs, byte for byte.
namespace torvane::helper::messages {

inline std::string started() {
    return "=== torvane-helper 起動（ログ: " + std::string(LOG_PATH) + "）===";
}
inline const std::string leftoverFound = "前回の設定が残っていたため、いったん元に戻します";
inline const std::string sleepPrevented = "ふた閉じスリープを抑止しました";
inline const std::string sleepRestored = "ふた閉じスリープを元に戻しました";
// A release after every request for the lock was refused: there was nothing to put back.
inline const std::string sleepNeverPrevented =
    "ふた閉じスリープは抑止できていなかったため、戻す設定はありません";

inline std::string heartbeatLost(double staleSeconds) {
    return "WARN: アプリからの生存信号が " + std::to_string(std::llround(staleSeconds)) +
           " 秒途切れました。安全のため解除します";
}

inline std::string stopping(std::string_view reason) {
    return "停止します（" + std::string(reason) + "）。通常の電源設定に戻します";
}

inline const std::string pmsetCannotStart = "ERROR: pmset を起動できません: ";
inline std::string pmsetFailed(const std::string& arguments, int status) {
    return "ERROR: pmset " + arguments + " が失敗しました (exit " + std::to_string(status) + ")";
}

inline const std::string logindRefused = "ERROR: systemd-logind に抑止ロックを要求できません: ";
// logind closed its end of the lock (it died): the lock is gone with it.
inline const std::string logindLockLost = "WARN: systemd-logind の抑止ロックが失われました";

} // namespace torvane::helper::messages
