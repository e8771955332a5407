#pragma once

#include "app/core/MainLoop.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace torvane {

// A MainLoop on virtual time: nothing runs until the test advances the clock, and then every due
// call runs in time order (ties in the order they were scheduled). Posted calls run at the next
// advance() or runPosted(); post() is the only member another thread may call.
class VirtualMainLoop final : public MainLoop {
public:
    TimerHandle repeating(Seconds interval, std::function<void()> tick) override;
    TimerHandle once(Seconds delay, std::function<void()> fn) override;
    void post(std::function<void()> fn) override;

    // Runs the calls posted so far.
    void runPosted();

    // Moves virtual time forward by `by`, running every call that falls due on the way.
    void advance(Seconds by);
    Seconds now() const { return now_; }
    // Timers scheduled and not cancelled (a one-shot that has run no longer counts).
    std::size_t pendingCount() const;

private:
    struct Entry {
        Seconds due;
        Seconds interval; // zero for a one-shot
        std::uint64_t order;
        std::function<void()> fn;
        bool cancelled = false;
    };
    class Handle;

    TimerHandle schedule(Seconds delay, Seconds interval, std::function<void()> fn);

    Seconds now_{0};
    std::uint64_t nextOrder_ = 0;
    std::vector<std::shared_ptr<Entry>> entries_;
    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
};

} // namespace torvane
