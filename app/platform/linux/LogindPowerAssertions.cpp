#include "app/platform/linux/LogindPowerAssertions.hpp"

#include <cerrno>
#include <optional>

namespace torvane {

namespace {

std::optional<std::string> inhibitWhat(std::string_view type) {
    if (type == PowerAssertions::noIdleSleep)
        return "idle";
    if (type == PowerAssertions::preventSleep)
        return "sleep";
    return std::nullopt;
}

} // namespace

LogindPowerAssertions::LogindPowerAssertions(std::chrono::milliseconds callTimeout) : bus_(callTimeout) {}

AssertionResult LogindPowerAssertions::create(std::string_view type, std::string_view name) {
    const std::optional<std::string> what = inhibitWhat(type);
    if (!what)
        return {.code = -EINVAL};
    auto result = bus_.inhibit(*what, std::string(who), std::string(name), "block");
    if (const int* error = std::get_if<int>(&result))
        return {.code = *error};
    UniqueFd fd = std::move(std::get<UniqueFd>(result));
    const auto identifier = static_cast<AssertionID>(fd.get());
    const std::lock_guard lock(mutex_);
    held_[identifier] = std::move(fd);
    return {.code = 0, .identifier = identifier};
}

void LogindPowerAssertions::release(AssertionID identifier) {
    UniqueFd released;
    {
        const std::lock_guard lock(mutex_);
        const auto it = held_.find(identifier);
        if (it == held_.end())
            return;
        released = std::move(it->second);
        held_.erase(it);
    }
    // Closing our end is what releases the inhibitor.
}

std::size_t LogindPowerAssertions::heldCount() const {
    const std::lock_guard lock(mutex_);
    return held_.size();
}

} // namespace torvane
