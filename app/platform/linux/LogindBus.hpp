#pragma once

#include "common/UniqueFd.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace sdbus {
class IConnection;
class IProxy;
} // namespace sdbus

namespace torvane {

// The calls this app makes to systemd-logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set).
// The connection is made on first use and dropped after a failure, so a restarted bus is picked up
// by the next call. Thread-safe.
class LogindBus {
public:
    explicit LogindBus(std::chrono::milliseconds callTimeout = std::chrono::seconds(5));
    ~LogindBus();
    LogindBus(const LogindBus&) = delete;
    LogindBus& operator=(const LogindBus&) = delete;

    // Manager.Inhibit: the lock's fd (close-on-exec), or the negative errno of the failure (-ENOENT
    // when there is no system bus or no logind on it).
    std::variant<UniqueFd, int> inhibit(const std::string& what, const std::string& who,
                                        const std::string& why, const std::string& mode);

private:
    bool connectLocked();
    void dropLocked();
    // Runs `call` on the kept connection. A connection kept from earlier may have outlived its bus:
    // a call that reports it broken drops it and, unless it was fresh, runs once more on a new one.
    template <typename Result, typename Call> Result withConnection(Result noBus, Call call);

    std::chrono::milliseconds callTimeout_;
    std::mutex mutex_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

} // namespace torvane
