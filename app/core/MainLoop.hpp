#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace torvane {

// A scheduled call. Destroying the handle cancels it, so an owner that holds its timers by value is
// never called after it is gone.
class Timer {
public:
    virtual ~Timer() = default;
};
using TimerHandle = std::unique_ptr<Timer>;

// The main thread's timers and its queue of calls. In the app it is backed by the toolkit's event loop; in
// tests by a virtual clock the test advances.
class MainLoop {
public:
    using Seconds = std::chrono::duration<double>;

    virtual ~MainLoop() = default;

    // Calls `tick` every `interval`, the first time one interval from now.
    virtual TimerHandle repeating(Seconds interval, std::function<void()> tick) = 0;

    // Calls `fn` once, `delay` from now.
    virtual TimerHandle once(Seconds delay, std::function<void()> fn) = 0;

    // Calls `fn` on the main thread as soon as it gets to it. The one member any thread may call: how
    // work done elsewhere hands its result back.
    virtual void post(std::function<void()> fn) = 0;
};

} // namespace torvane
