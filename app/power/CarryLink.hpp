#pragma once

#include "app/power/CarryState.hpp"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace torvane {

// Carry mode for the phone link's threads: the state published by the main thread after each
// evaluation, and the pause handed to the main thread to carry out. Shared by pointer, so a request
// that outlives the application finds it detached rather than gone.
class CarryLink {
public:
    // Runs a call on the main thread, some time later.
    using Poster = std::function<void(std::function<void()>)>;
    // On the main thread: sets the pause, evaluates, gives the state that results.
    using Pauser = std::function<CarryState(bool paused)>;

    // Main thread.
    void publish(const CarryState& state);
    // Told after each publish (on the main thread, without a lock held), so that a page waiting for
    // news hears of it. One listener; an empty one ends it.
    using Listener = std::function<void()>;
    void listen(Listener listener);
    void attach(Poster post, Pauser pause);
    // From now on pausing fails; the poster is never called again once this returns.
    void detach();

    // Any thread. Absent before the first evaluation.
    std::optional<CarryState> state() const;
    // Absent when detached or when the main thread has not begun it within `limit`; such a pause is
    // withdrawn and never takes effect. One the main thread has begun is waited for.
    std::optional<CarryState> setPaused(bool paused,
                                        std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    mutable std::mutex mutex_; // the state and the pauser
    std::optional<CarryState> state_;
    Pauser pause_;
    Listener listener_;
    std::mutex postMutex_; // held while posting, so that detach() waits for a post under way
    Poster post_;
};

} // namespace torvane
