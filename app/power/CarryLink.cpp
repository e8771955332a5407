#include "app/power/CarryLink.hpp"

#include <future>
#include <memory>

namespace torvane {

void CarryLink::publish(const CarryState& state) {
    const std::lock_guard lock(mutex_);
    state_ = state;
}

void CarryLink::attach(Poster post, Pauser pause) {
    const std::scoped_lock lock(postMutex_, mutex_);
    post_ = std::move(post);
    pause_ = std::move(pause);
}

void CarryLink::detach() {
    const std::scoped_lock lock(postMutex_, mutex_);
    post_ = nullptr;
    pause_ = nullptr;
}

std::optional<CarryState> CarryLink::state() const {
    const std::lock_guard lock(mutex_);
    return state_;
}

std::optional<CarryState> CarryLink::setPaused(bool paused, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<std::optional<CarryState>>>();
    std::future<std::optional<CarryState>> answer = done->get_future();
    {
        const std::lock_guard lock(postMutex_);
        if (!post_)
            return std::nullopt;
        post_([this, done, paused] {
            Pauser pause;
            {
                const std::lock_guard lock(mutex_);
                pause = pause_;
            }
            done->set_value(pause ? std::optional(pause(paused)) : std::nullopt);
        });
    }
    // A call dropped unrun (the loop ended first) breaks the promise: that is a failure too.
    if (answer.wait_for(limit) != std::future_status::ready)
        return std::nullopt;
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return std::nullopt;
    }
}

} // namespace torvane
