#include "app/power/CarryLink.hpp"

#include <condition_variable>
#include <memory>
#include <utility>

namespace torvane {

void CarryLink::publish(const CarryState& state) {
    Listener listener;
    {
        const std::lock_guard lock(mutex_);
        state_ = state;
        listener = listener_;
    }
    if (listener)
        listener();
}

void CarryLink::listen(Listener listener) {
    const std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
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

namespace {

// One pause handed to the main thread. Whoever comes first decides: the main thread starting it, or
// the caller withdrawing it at its time limit; so the caller's answer is always what happened.
struct PauseCall {
    enum class Stage { waiting, running, done, withdrawn };
    std::mutex mutex;
    std::condition_variable settled;
    Stage stage = Stage::waiting;
    std::optional<CarryState> result;

    void finish(std::optional<CarryState> outcome) {
        {
            const std::lock_guard lock(mutex);
            result = std::move(outcome);
            stage = Stage::done;
        }
        settled.notify_all();
    }
};

// Travels with the posted call: a call dropped unrun (the loop ended first) is a failure, told at once.
struct DroppedUnrun {
    explicit DroppedUnrun(std::shared_ptr<PauseCall> c) : call(std::move(c)) {}
    DroppedUnrun(const DroppedUnrun&) = delete;
    DroppedUnrun& operator=(const DroppedUnrun&) = delete;
    std::shared_ptr<PauseCall> call;
    ~DroppedUnrun() {
        {
            const std::lock_guard lock(call->mutex);
            if (call->stage != PauseCall::Stage::waiting)
                return;
            call->stage = PauseCall::Stage::done;
        }
        call->settled.notify_all();
    }
};

} // namespace

std::optional<CarryState> CarryLink::setPaused(bool paused, std::chrono::milliseconds limit) {
    const auto call = std::make_shared<PauseCall>();
    {
        const std::lock_guard lock(postMutex_);
        if (!post_)
            return std::nullopt;
        post_([this, call, paused, guard = std::make_shared<DroppedUnrun>(call)] {
            {
                const std::lock_guard lock(call->mutex);
                if (call->stage != PauseCall::Stage::waiting)
                    return; // withdrawn: too late to take effect
                call->stage = PauseCall::Stage::running;
            }
            Pauser pause;
            {
                const std::lock_guard lock(mutex_);
                pause = pause_;
            }
            call->finish(pause ? std::optional(pause(paused)) : std::nullopt);
        });
    }
    std::unique_lock lock(call->mutex);
    const auto done = [&] { return call->stage == PauseCall::Stage::done; };
    if (!call->settled.wait_for(lock, limit, done)) {
        if (call->stage == PauseCall::Stage::waiting) {
            call->stage = PauseCall::Stage::withdrawn;
            return std::nullopt;
        }
        // Already under way on the main thread: its outcome is the answer, however late.
        call->settled.wait(lock, done);
    }
    return call->result;
}

} // namespace torvane
