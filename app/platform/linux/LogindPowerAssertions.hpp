#pragma once

#include "app/platform/PowerAssertions.hpp"
#include "app/platform/linux/LogindBus.hpp"

#include <map>
#include <mutex>

namespace torvane {

// Power assertions as logind block inhibitors: "NoIdleSleepAssertion" inhibits "idle",
// "InternalPreventSleep" inhibits "sleep". Each lock is the fd logind hands out, held here until it
// is released or this object goes.
class LogindPowerAssertions final : public PowerAssertions {
public:
    static constexpr std::string_view who = "Torvane";

    LogindPowerAssertions() = default;
    explicit LogindPowerAssertions(std::chrono::milliseconds callTimeout);

    // The error code is the negative errno of the failure; a type logind has no lock for gives -EINVAL.
    AssertionResult create(std::string_view type, std::string_view name) override;
    void release(AssertionID identifier) override;

    std::size_t heldCount() const;

private:
    LogindBus bus_;
    mutable std::mutex mutex_;
    std::map<AssertionID, UniqueFd> held_;
};

} // namespace torvane
