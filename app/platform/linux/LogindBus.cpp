#include "app/platform/linux/LogindBus.hpp"

#include "common/linux/LogindInhibit.hpp"

#include <cerrno>
#include <sdbus-c++/sdbus-c++.h>

namespace torvane {

LogindBus::LogindBus(std::chrono::milliseconds callTimeout) : callTimeout_(callTimeout) {}

LogindBus::~LogindBus() {
    const std::lock_guard lock(mutex_);
    dropLocked();
}

bool LogindBus::connectLocked() {
    if (proxy_)
        return true;
    try {
        connection_ = sdbus::createSystemBusConnection();
        connection_->setMethodCallTimeout(callTimeout_);
        proxy_ = sdbus::createProxy(*connection_, logind::service, logind::objectPath);
        return true;
    } catch (const sdbus::Error&) {
        dropLocked();
        return false;
    }
}

void LogindBus::dropLocked() {
    proxy_.reset(); // the proxy refers to the connection
    connection_.reset();
}

template <typename Result, typename Call> Result LogindBus::withConnection(Result noBus, Call call) {
    const std::lock_guard lock(mutex_);
    for (;;) {
        const bool fresh = !proxy_;
        if (!connectLocked())
            return noBus;
        bool broken = false;
        Result result = call(*proxy_, broken);
        if (!broken)
            return result;
        dropLocked();
        if (fresh)
            return result;
    }
}

std::variant<UniqueFd, int> LogindBus::inhibit(const std::string& what, const std::string& who,
                                               const std::string& why, const std::string& mode) {
    using Result = std::variant<UniqueFd, int>;
    return withConnection<Result>(-ENOENT, [&](sdbus::IProxy& manager, bool& broken) -> Result {
        auto lock = logind::inhibit(manager, what, who, why, mode);
        if (auto* fd = std::get_if<UniqueFd>(&lock))
            return std::move(*fd);
        const int code = std::get<logind::InhibitFailure>(lock).code;
        broken = code != -EACCES && code != -EPERM; // logind's own refusal says nothing of the bus
        return code;
    });
}

} // namespace torvane
